// Power-on self-test: known-answer tests of every mixing form this processor
// runs, of SHA-256 and of two whole derivations.  Run once per process by
// the first scrypt() call.
#ifndef SCRYPT_VORNIK_SELFTEST_H
#define SCRYPT_VORNIK_SELFTEST_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"
#include "mix/mix.h"

SCRYPT_PRIVATE_BEGIN

enum : uint32_t {
    POST_MIX_PASSED = 0x1,
    POST_HASH_PASSED = 0x2,
    POST_SCRYPT_PASSED = 0x4,
};

typedef void (*block_conversion)(uint32_t *blocks, uint64_t count);

typedef struct post_setting_row {
    const char *password;  // null ends the table
    const char *salt;
    uint8_t Nfactor, rfactor, pfactor;
} post_setting_row;

extern SCRYPT_SEAM_CONST uint8_t expected[16];
extern SCRYPT_SEAM_CONST uint8_t post_hash_expected[32];
extern SCRYPT_SEAM_CONST post_setting_row post_settings[3];
extern SCRYPT_SEAM_CONST uint8_t post_vectors[2][64];

// 1 when a and b hold the same n bytes, else 0; time independent of content.
uint32_t scrypt_equal_ct(const uint8_t *a, const uint8_t *b, size_t n);

// Runs `mix` on the fixed r = 2 test chunk (converted before and after when
// the conversions are given) and compares the last 16 output bytes.
uint32_t scrypt_test_mix_instance(chunkmix_function mix, block_conversion before,
                                  block_conversion after, const uint8_t expect[16]);

// Checks every lane form in `candidates` (bit i: scrypt_lane_forms[i]) on
// a full group of the sample chunks: each lane's chunk and table must equal
// what the portable ROMix makes of that chunk.  Returns the bits of the
// forms that failed.  Allocates nothing.
uint32_t scrypt_test_lane_forms(uint32_t candidates);

// Returns the pass bits; reports each failed part to the fatal-error handler.
uint32_t scrypt_power_on_self_test(void);

SCRYPT_PRIVATE_END

#endif
