#include "handler.h"

#include <stdio.h>
#include <stdlib.h>

extern "C" {

fatal_error_handler scrypt_fatal_error = scrypt_fatal_error_default;

void scrypt_fatal_error_default(const char *message) {
    fprintf(stderr, "%s\n", message);
    exit(1);
}

void scrypt_report(const char *message) {
    scrypt_fatal_error(message);
}

}  // extern "C"
