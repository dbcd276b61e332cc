// `scrypt-vornik info`: the version, the processor, and how the library
// mixes here (the form it runs, the self-test's ranking of the forms, the
// lane forms).
#ifndef SCRYPT_VORNIK_TOOL_INFO_H
#define SCRYPT_VORNIK_TOOL_INFO_H

#include <stdio.h>

// Writes the report to `out`; returns the status of the self-test call that
// makes the ranking (SCRYPT_OK, or the failure to report).
int print_info(FILE *out);

#endif
