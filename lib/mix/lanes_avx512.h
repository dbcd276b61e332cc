// The AVX-512 lane policy: sixteen chunks side by side in 64-byte registers,
// rotation by vprold (see mix_lanes.h for what a policy provides).  Include
// it only from units compiled with -mavx512f: the lane form itself
// (lanes_avx512.cpp) and the benchmark's floor of sixteen cores kept in
// registers.  It sits in an anonymous namespace, so each unit compiles its
// own copy.
#ifndef SCRYPT_VORNIK_LANES_AVX512_H
#define SCRYPT_VORNIK_LANES_AVX512_H

#include <immintrin.h>
#include <stdint.h>

#include "clear_registers.h"

namespace {

struct avx512_lanes {
    using word = __m512i;
    static constexpr unsigned lanes = 16;
    static inline word add(word a, word b) { return _mm512_add_epi32(a, b); }
    static inline word xor_(word a, word b) { return _mm512_xor_si512(a, b); }
    // One instruction (truth table 0x96, a ^ b ^ c): the lanes are bound by
    // how many they issue.
    static inline word xor3(word a, word b, word c) {
        return _mm512_ternarylogic_epi32(a, b, c, 0x96);
    }
    template <unsigned n>
    static inline word arx(word t, word a, word b) {
        return _mm512_xor_si512(t, _mm512_rol_epi32(_mm512_add_epi32(a, b), n));
    }
    static inline word load(const uint32_t *p) { return _mm512_load_si512((const void *)p); }
    static inline void store(uint32_t *p, word v) { _mm512_store_si512((void *)p, v); }
    static inline void stream(uint32_t *p, word v) { _mm512_stream_si512((word *)p, v); }
    // Two rounds of unpacking transpose 4 x 4 words inside every 16-byte
    // quarter; two rounds of quarter shuffles then transpose the 4 x 4
    // quarters.
    static inline void transpose(word m[16]) {
        word t[16], u[16];
        for (unsigned k = 0; k < 16; k += 2) {
            t[k] = _mm512_unpacklo_epi32(m[k], m[k + 1]);
            t[k + 1] = _mm512_unpackhi_epi32(m[k], m[k + 1]);
        }
        for (unsigned k = 0; k < 16; k += 4) {
            u[k] = _mm512_unpacklo_epi64(t[k], t[k + 2]);
            u[k + 1] = _mm512_unpackhi_epi64(t[k], t[k + 2]);
            u[k + 2] = _mm512_unpacklo_epi64(t[k + 1], t[k + 3]);
            u[k + 3] = _mm512_unpackhi_epi64(t[k + 1], t[k + 3]);
        }
        // u[4 * i + w] quarter q holds word 4 * q + w of rows 4 * i .. 4 * i + 3.
        for (unsigned w = 0; w < 4; w++) {
            const word v0 = _mm512_shuffle_i32x4(u[w], u[4 + w], 0x44);
            const word v1 = _mm512_shuffle_i32x4(u[w], u[4 + w], 0xee);
            const word v2 = _mm512_shuffle_i32x4(u[8 + w], u[12 + w], 0x44);
            const word v3 = _mm512_shuffle_i32x4(u[8 + w], u[12 + w], 0xee);
            m[w] = _mm512_shuffle_i32x4(v0, v2, 0x88);
            m[4 + w] = _mm512_shuffle_i32x4(v0, v2, 0xdd);
            m[8 + w] = _mm512_shuffle_i32x4(v1, v3, 0x88);
            m[12 + w] = _mm512_shuffle_i32x4(v1, v3, 0xdd);
        }
    }
    // zmm16-31, the opmask registers and the upper parts of zmm0-15.
    static inline void leave() { clear_evex_registers(); }
};

}  // namespace

#endif
