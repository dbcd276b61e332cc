// Power-on self-test: known-answer tests of every mixing form this processor
// runs, of SHA-256 and of two whole derivations.  The parts run one at a
// time and say whether they passed; they report to nobody (the entry points
// decide what a failure means for them, see api/post.h).
#ifndef SCRYPT_VORNIK_SELFTEST_H
#define SCRYPT_VORNIK_SELFTEST_H

#include <stddef.h>
#include <stdint.h>

#include "core/cache.h"
#include "internal.h"
#include "mix/mix.h"

SCRYPT_PRIVATE_BEGIN

// The parts in the order they run; part k passing sets bit 1 << k of the
// self-test's result.
enum : unsigned {
    POST_PART_MIX = 0,
    POST_PART_HASH = 1,
    POST_PART_DERIVATION = 2,
    POST_PART_COUNT = 3,
};

enum : uint32_t {
    POST_MIX_PASSED = 1u << POST_PART_MIX,
    POST_HASH_PASSED = 1u << POST_PART_HASH,
    POST_SCRYPT_PASSED = 1u << POST_PART_DERIVATION,
    POST_ALL_PASSED = POST_MIX_PASSED | POST_HASH_PASSED | POST_SCRYPT_PASSED,
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

// What a part found: it passed, it failed, or (the derivation part only) its
// buffers could not be had, so that it tells nothing about the library.
enum : uint32_t {
    POST_PART_FAILED = 0,
    POST_PART_PASSED = 1,
    POST_PART_NO_MEMORY = 2,
};

// Runs part `part` and returns what it found.  The mix
// part also marks the forms that fail their known answer, so that no call
// selects them, and ranks the others by speed; the derivation part derives
// with the form that calls select here, in `cache`, or with a null `cache`
// in buffers of its own that it releases before it returns.
uint32_t scrypt_self_test_part(unsigned part, work_cache *cache);

SCRYPT_PRIVATE_END

#endif
