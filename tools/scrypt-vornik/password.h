// Reading the password: never from the command line.  At a terminal it is
// asked for with echo off and ends with a newline; otherwise it is standard
// input up to its first newline (not included) or its end.
#ifndef SCRYPT_VORNIK_TOOL_PASSWORD_H
#define SCRYPT_VORNIK_TOOL_PASSWORD_H

#include "secret.h"

enum password_status {
    PASSWORD_OK,
    PASSWORD_READ_ERROR,  // errno says why
    PASSWORD_NO_MEMORY,
    PASSWORD_MISMATCH,  // the two entries at the terminal differ
    PASSWORD_NO_ENTRY,  // the terminal's input ended before a newline
};

// Reads the password into `out`.  With `twice`, a terminal asks a second
// time and the entries must agree.  The terminal's modes are restored on
// every way out, a signal that ends or stops the program included.
password_status read_password(secret &out, bool twice);

#endif
