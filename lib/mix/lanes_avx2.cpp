// AVX2 lane form: eight chunks side by side in 32-byte registers, rotation
// by shift pairs.  Compiled with -mavx2; nothing here is shared with other
// units.
#include <immintrin.h>

#include "mix_lanes.h"

namespace {

struct avx2_lanes {
    using word = __m256i;
    static constexpr unsigned lanes = 8;
    static inline word add(word a, word b) { return _mm256_add_epi32(a, b); }
    static inline word xor_(word a, word b) { return _mm256_xor_si256(a, b); }
    static inline word xor3(word a, word b, word c) { return xor_(xor_(a, b), c); }
    template <unsigned n>
    static inline word arx(word t, word a, word b) {
        const word s = _mm256_add_epi32(a, b);
        return _mm256_xor_si256(_mm256_xor_si256(t, _mm256_slli_epi32(s, n)),
                                _mm256_srli_epi32(s, 32 - n));
    }
    static inline word load(const uint32_t *p) { return _mm256_load_si256((const word *)p); }
    static inline void store(uint32_t *p, word v) { _mm256_store_si256((word *)p, v); }
    // Within each 16-byte half, two rounds of unpacking transpose 4 x 4;
    // the halves then trade places.
    static inline void transpose(word m[8]) {
        word t[8], u[8];
        for (unsigned k = 0; k < 8; k += 2) {
            t[k] = _mm256_unpacklo_epi32(m[k], m[k + 1]);
            t[k + 1] = _mm256_unpackhi_epi32(m[k], m[k + 1]);
        }
        for (unsigned k = 0; k < 8; k += 4) {
            u[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]);
            u[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);
            u[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]);
            u[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);
        }
        for (unsigned k = 0; k < 4; k++) {
            m[k] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x20);
            m[k + 4] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x31);
        }
    }
    // The upper halves of ymm0-15, which baseline code cannot clear.
    static inline void leave() { clear_upper_halves(); }
};

}  // namespace

SCRYPT_DEFINE_LANE_FORM(avx2, avx2_lanes)
