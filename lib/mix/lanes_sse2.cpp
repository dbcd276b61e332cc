// SSE2 lane form: four chunks side by side in 16-byte registers, rotation by
// shift pairs.  Baseline x86-64 code.
#include <emmintrin.h>

#include "mix_lanes.h"

namespace {

struct sse2_lanes {
    using word = __m128i;
    static constexpr unsigned lanes = 4;
    static inline word add(word a, word b) { return _mm_add_epi32(a, b); }
    static inline word xor_(word a, word b) { return _mm_xor_si128(a, b); }
    static inline word xor3(word a, word b, word c) { return xor_(xor_(a, b), c); }
    template <unsigned n>
    static inline word arx(word t, word a, word b) {
        const word s = _mm_add_epi32(a, b);
        return _mm_xor_si128(_mm_xor_si128(t, _mm_slli_epi32(s, n)), _mm_srli_epi32(s, 32 - n));
    }
    static inline word load(const uint32_t *p) { return _mm_load_si128((const word *)p); }
    static inline void store(uint32_t *p, word v) { _mm_store_si128((word *)p, v); }
    static inline void transpose(word m[4]) {
        const word t0 = _mm_unpacklo_epi32(m[0], m[1]), t1 = _mm_unpacklo_epi32(m[2], m[3]);
        const word t2 = _mm_unpackhi_epi32(m[0], m[1]), t3 = _mm_unpackhi_epi32(m[2], m[3]);
        m[0] = _mm_unpacklo_epi64(t0, t1);
        m[1] = _mm_unpackhi_epi64(t0, t1);
        m[2] = _mm_unpacklo_epi64(t2, t3);
        m[3] = _mm_unpackhi_epi64(t2, t3);
    }
    // xmm0-15 only, which baseline code reuses.
    static inline void leave() {}
};

}  // namespace

SCRYPT_DEFINE_LANE_FORM(sse2, sse2_lanes)
