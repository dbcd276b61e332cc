// The fatal-error handler: every failure in the library ends in one call of
// it with a constant message beginning "scrypt: ".
#ifndef SCRYPT_VORNIK_HANDLER_H
#define SCRYPT_VORNIK_HANDLER_H

#include "internal.h"
#include "scrypt-vornik.h"

SCRYPT_PRIVATE_BEGIN

// The handler in force; the default until the host installs another.
extern fatal_error_handler scrypt_fatal_error;

// Writes the message and a newline to standard error and exits with 1.
void scrypt_fatal_error_default(const char *message);

// Hands `message` to the handler in force, with the library's lock released
// for the time of the handler if the calling thread holds it.  The handler
// may return.
void scrypt_report(const char *message);

SCRYPT_PRIVATE_END

#endif
