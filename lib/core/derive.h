// One derivation: the range checks, the cached work buffers and the flow
//   B = PBKDF2(password, salt), each chunk of B = ROMix(chunk),
//   output = PBKDF2(password, B).
// Private to the library; the buffer state is declared here so that the
// tests can observe the cache.
#ifndef SCRYPT_VORNIK_DERIVE_H
#define SCRYPT_VORNIK_DERIVE_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"
#include "mix/mix.h"

SCRYPT_PRIVATE_BEGIN

// One heap allocation: `raw` as the allocator returned it (the pointer that
// is released), `aligned` rounded up to the next multiple of 64 (the pointer
// worked through).  Every request carries 63 extra bytes for the rounding.
typedef struct aligned_buffer {
    void *raw;
    uint8_t *aligned;
} aligned_buffer;

// Y (one chunk) followed by the p chunks of B.
extern aligned_buffer YX;
// ROMix's table of N chunks.
extern aligned_buffer V;
// The factors YX and V are sized for; -1 while nothing is held.
extern int32_t last_Nfactor, last_rfactor, last_pfactor;

// Every derivation ends by zeroing both work areas.  Constant in the
// library; the test-only build (SCRYPT_TEST_SEAMS) may turn the wipe off, to
// show that a probe finds what the wipe removes and to measure its cost.
extern SCRYPT_SEAM_CONST bool scrypt_wipe_work_buffers;

// Checks the factors and the output length, makes the buffers fit, derives
// the key with `romix` and wipes the work areas.  Returns true when the key
// was written; false after a failure, which has been reported to the handler
// (and the handler returned).
bool scrypt_derive(const uint8_t *password, size_t password_len, const uint8_t *salt,
                   size_t salt_len, uint8_t Nfactor, uint8_t rfactor, uint8_t pfactor, uint8_t *out,
                   size_t out_len, romix_function romix);

SCRYPT_PRIVATE_END

#endif
