// Process-wide state of the key-derivation driver.  Private to the library;
// declared here so that the driver's own tests can observe the buffer cache.
#ifndef SCRYPT_VORNIK_DRIVER_H
#define SCRYPT_VORNIK_DRIVER_H

#include <stdint.h>

#include "internal.h"
#include "scrypt-vornik.h"

SCRYPT_PRIVATE_BEGIN

// One heap allocation: `raw` as the allocator returned it (the pointer that
// is released), `aligned` rounded up to the next multiple of 64 (the pointer
// worked through).  Every request carries 63 extra bytes for the rounding.
typedef struct aligned_buffer {
    void *raw;
    uint8_t *aligned;
} aligned_buffer;

extern fatal_error_handler scrypt_fatal_error;
extern int32_t power_on_self_test;
// Y (one chunk) followed by the p chunks of B.
extern aligned_buffer YX;
// ROMix's table of N chunks.
extern aligned_buffer V;
// The factors YX and V are sized for; -1 while nothing is held.
extern int32_t last_Nfactor, last_rfactor, last_pfactor;

void scrypt_fatal_error_default(const char *message);

SCRYPT_PRIVATE_END

#endif
