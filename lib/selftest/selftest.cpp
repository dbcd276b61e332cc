#include "selftest.h"

#include <string.h>

#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "hash/hash.h"

extern "C" {

// Last 16 bytes of ChunkMix (r = 2, no xor input) over the chunk whose word i
// is i * 0x01010101.
SCRYPT_SEAM_CONST uint8_t expected[16] = {0x41, 0x1f, 0x2e, 0xa3, 0xab, 0xa3, 0x1a, 0x34,
                                          0x87, 0x1d, 0x8a, 0x1c, 0x76, 0xa0, 0x27, 0x66};

// SHA-256 of SHA-256(m[0..0)) || SHA-256(m[0..1)) || ... || SHA-256(m[0..257)),
// where m[i] = i mod 256.
SCRYPT_SEAM_CONST uint8_t post_hash_expected[32] = {
    0xee, 0x36, 0xae, 0xa6, 0x65, 0xf0, 0x28, 0x7d, 0xc9, 0xde, 0xd8, 0xad, 0x48, 0x33, 0x7d, 0xbf,
    0xcb, 0xc0, 0x48, 0xfa, 0x5f, 0x92, 0xfd, 0x0a, 0x95, 0x6f, 0x34, 0x8e, 0x8c, 0x1e, 0x73, 0xad};

// RFC 7914 section 12, test vectors 1 and 2.
SCRYPT_SEAM_CONST post_setting_row post_settings[3] = {
    {"", "", 3, 0, 0},
    {"password", "NaCl", 9, 3, 4},
    {nullptr, nullptr, 0, 0, 0},
};

SCRYPT_SEAM_CONST uint8_t post_vectors[2][64] = {
    {0x77, 0xd6, 0x57, 0x62, 0x38, 0x65, 0x7b, 0x20, 0x3b, 0x19, 0xca, 0x42, 0xc1,
     0x8a, 0x04, 0x97, 0xf1, 0x6b, 0x48, 0x44, 0xe3, 0x07, 0x4a, 0xe8, 0xdf, 0xdf,
     0xfa, 0x3f, 0xed, 0xe2, 0x14, 0x42, 0xfc, 0xd0, 0x06, 0x9d, 0xed, 0x09, 0x48,
     0xf8, 0x32, 0x6a, 0x75, 0x3a, 0x0f, 0xc8, 0x1f, 0x17, 0xe8, 0xd3, 0xe0, 0xfb,
     0x2e, 0x0d, 0x36, 0x28, 0xcf, 0x35, 0xe2, 0x0c, 0x38, 0xd1, 0x89, 0x06},
    {0xfd, 0xba, 0xbe, 0x1c, 0x9d, 0x34, 0x72, 0x00, 0x78, 0x56, 0xe7, 0x19, 0x0d,
     0x01, 0xe9, 0xfe, 0x7c, 0x6a, 0xd7, 0xcb, 0xc8, 0x23, 0x78, 0x30, 0xe7, 0x73,
     0x76, 0x63, 0x4b, 0x37, 0x31, 0x62, 0x2e, 0xaf, 0x30, 0xd9, 0x2e, 0x22, 0xa3,
     0x88, 0x6f, 0xf1, 0x09, 0x27, 0x9d, 0x98, 0x30, 0xda, 0xc7, 0x27, 0xaf, 0xb9,
     0x4a, 0x83, 0xee, 0x6d, 0x83, 0x60, 0xcb, 0xdf, 0xa2, 0xcc, 0x06, 0x40},
};

uint32_t scrypt_equal_ct(const uint8_t *a, const uint8_t *b, size_t n) {
    uint32_t d = 0;
    for (size_t i = 0; i < n; i++) d |= (uint32_t)(a[i] ^ b[i]);
    // d is 0..255; d - 1 borrows into bit 8 exactly when d is 0.
    return ((d - 1) >> 8) & 1;
}

uint32_t scrypt_test_mix_instance(chunkmix_function mix, block_conversion before,
                                  block_conversion after, const uint8_t expect[16]) {
    alignas(32) uint32_t in[64];
    alignas(32) uint32_t out[64];
    alignas(32) uint8_t bytes[256];
    for (unsigned j = 0; j < sizeof bytes; j++) bytes[j] = (uint8_t)(j / 4);
    memcpy(in, bytes, sizeof in);
    if (before) before(in, 4);
    mix(out, in, nullptr, 2);
    if (after) after(out, 4);
    memcpy(bytes, out, sizeof out);
    return scrypt_equal_ct(bytes + 240, expect, 16);
}

uint32_t scrypt_test_lane_forms(uint32_t candidates) {
    lane_sample_area &a = scrypt_lane_sample;
    uint32_t failed = 0;
    for (unsigned i = 0; i < scrypt_lane_form_count; i++) {
        if (!(candidates >> i & 1)) continue;
        scrypt_fill_lane_sample();
        scrypt_run_lane_sample(&scrypt_lane_forms[i], scrypt_lane_forms[i].lanes);
        for (unsigned l = 0; l < scrypt_lane_forms[i].lanes; l++) {
            // Every form gets the same chunks: the portable results are
            // made once, lane by lane, into the spare lanes' places.
            uint32_t *want = a.reference[l];
            if (!(a.reference_made >> l & 1)) {
                for (unsigned w = 0; w < lane_sample_words; w++)
                    want[w] = scrypt_lane_sample_word(l, w);
                scrypt_ROMix_basic(want, a.single_scratch, a.reference_tables[l], lane_sample_N,
                                   lane_sample_r);
                a.reference_made |= 1u << l;
            }
            const uint32_t ok = scrypt_equal_ct((const uint8_t *)a.chunks[l], (const uint8_t *)want,
                                                sizeof a.reference[l]) &
                                scrypt_equal_ct((const uint8_t *)a.tables[l],
                                                (const uint8_t *)a.reference_tables[l],
                                                sizeof a.reference_tables[l]);
            if (!ok) failed |= 1u << i;
        }
    }
    return failed;
}

}  // extern "C"

namespace {

// Tests every form the processor runs against the known answer, marks the
// ones that fail so that no call selects them, and ranks the others by speed.
uint32_t test_mix() {
    const cpu_feature_flags flags = detect_cpu();
    uint32_t ok = 1, passed = 0;
    for (unsigned i = 0; i < scrypt_mix_form_count; i++) {
        const mix_form &f = scrypt_mix_forms[i];
        if (!scrypt_form_runs(&f, flags)) continue;
#if SCRYPT_X86_64
        block_conversion convert = f.tangled ? salsa_core_tangle_sse2 : nullptr;
#else
        block_conversion convert = nullptr;
#endif
        const uint32_t form_ok = scrypt_test_mix_instance(f.chunkmix, convert, convert, expected);
        if (form_ok)
            passed |= 1u << i;
        else
            scrypt_form_ranking.failed |= 1u << i;
        ok &= form_ok;
    }
    scrypt_rank_forms(passed);

    // The lane forms, against the portable ROMix, then timed beside the
    // single form that calls now run.
    uint32_t lane_candidates = 0;
    for (unsigned i = 0; i < scrypt_lane_form_count; i++)
        if (scrypt_lane_form_runs(&scrypt_lane_forms[i], flags)) lane_candidates |= 1u << i;
    const uint32_t lane_failed = scrypt_test_lane_forms(lane_candidates);
    scrypt_lane_ranking.failed |= lane_failed;
    if (lane_failed) ok = 0;
    scrypt_rank_lane_forms(lane_candidates & ~lane_failed, scrypt_select_form(flags));
    return ok;
}

uint32_t test_hash() {
    uint8_t message[257];
    for (unsigned i = 0; i < sizeof message; i++) message[i] = (uint8_t)i;
    hash_context running;
    scrypt_hash_init(&running);
    uint8_t digest[32];
    for (size_t len = 0; len <= sizeof message; len++) {
        scrypt_hash(digest, message, len);
        scrypt_hash_update(&running, digest, sizeof digest);
    }
    scrypt_hash_finish(&running, digest);
    return scrypt_equal_ct(digest, post_hash_expected, sizeof digest);
}

// Each row derives as any call would, with the form that calls use here, in
// `cache`, or without one in buffers of its own that it releases at the end.
// A row whose derivation failed (out of memory) counts as failed.
uint32_t test_derivation(work_cache *cache) {
    uint32_t ok = 1;
    bool no_memory = false;
    uint8_t out[64];
    work_buffers own = {};
    // Every row runs, also after one has failed.
    for (unsigned i = 0; post_settings[i].password != nullptr; i++) {
        const post_setting_row &row = post_settings[i];
        const uint8_t *password = (const uint8_t *)row.password, *salt = (const uint8_t *)row.salt;
        const uint64_t N = uint64_t(2) << row.Nfactor;
        const uint32_t r = uint32_t(1) << row.rfactor, p = uint32_t(1) << row.pfactor;
        const romix_function romix = scrypt_select_form(detect_cpu())->romix;
        const derive_status status =
            cache ? scrypt_derive_cached(cache, password, strlen(row.password), salt,
                                         strlen(row.salt), N, r, p, out, sizeof out, romix)
                  : scrypt_derive_in(&own, password, strlen(row.password), salt, strlen(row.salt),
                                     N, r, p, out, sizeof out, romix);
        if (status == DERIVE_NO_MEMORY)
            no_memory = true;
        else
            ok &= status == DERIVE_OK ? scrypt_equal_ct(out, post_vectors[i], sizeof out) : 0;
    }
    scrypt_release_work(&own);
    // A wrong key is a failure whatever else happened; rows that could not
    // run for want of memory leave the part undecided.
    if (!ok) return POST_PART_FAILED;
    return no_memory ? POST_PART_NO_MEMORY : POST_PART_PASSED;
}

}  // namespace

extern "C" uint32_t scrypt_self_test_part(unsigned part, work_cache *cache) {
    switch (part) {
        case POST_PART_MIX:
            return test_mix();
        case POST_PART_HASH:
            return test_hash();
        case POST_PART_DERIVATION:
            return test_derivation(cache);
    }
    return 0;
}
