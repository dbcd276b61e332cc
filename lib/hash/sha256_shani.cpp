// SHA-256's compression with the processor's SHA-256 instructions (x86-64
// SHA extensions): two rounds per sha256rnds2, the message schedule four
// words at a time with sha256msg1 and sha256msg2.  Compiled with -msha
// -mssse3 -msse4.1; run only where detect_cpu() reports FEATURE_SHA.  It
// uses xmm0-15 only, which the end of every call clears.
#include <immintrin.h>

#include "hash.h"

extern "C" void sha256_blocks_shani(uint32_t H[8], const uint8_t *data, uint64_t blocks) {
    // The instructions keep the eight working words in two registers, A B E F
    // and C D G H, the first-named word in the highest lane.
    const __m128i dcba = _mm_loadu_si128((const __m128i *)H);
    const __m128i hgfe = _mm_loadu_si128((const __m128i *)(H + 4));
    const __m128i badc = _mm_shuffle_epi32(dcba, 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
    __m128i abef = _mm_alignr_epi8(badc, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, badc, 0xf0);
    // Each 32-bit word from big-endian.
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    for (; blocks != 0; blocks--, data += 64) {
        const __m128i abef_in = abef, cdgh_in = cdgh;
        // m[g % 4] holds schedule words 4g .. 4g + 3 for the group g of four
        // rounds; from group 4 on each is made from the four before it.
        __m128i m[4];
#pragma GCC unroll 4
        for (unsigned g = 0; g < 4; g++)
            m[g] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 16 * g)), swap);
#pragma GCC unroll 16
        for (unsigned g = 0; g < 16; g++) {
            if (g >= 4) {
                const __m128i w = _mm_add_epi32(_mm_sha256msg1_epu32(m[g % 4], m[(g + 1) % 4]),
                                                _mm_alignr_epi8(m[(g + 3) % 4], m[(g + 2) % 4], 4));
                m[g % 4] = _mm_sha256msg2_epu32(w, m[(g + 3) % 4]);
            }
            const __m128i k = _mm_loadu_si128((const __m128i *)(scrypt_sha256_constants + 4 * g));
            const __m128i wk = _mm_add_epi32(m[g % 4], k);
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0e));
        }
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128((__m128i *)H, _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128((__m128i *)(H + 4), _mm_alignr_epi8(dchg, feba, 8));
}
