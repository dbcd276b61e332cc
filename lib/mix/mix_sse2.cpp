// SSE2 form (two-operand instructions, rotation by shift pairs).  Also home
// of the tangle permutation that all three vector forms share.
#include "mix_vector.h"

SCRYPT_DEFINE_VECTOR_FORM(sse2, shift_rotate<true>)

// Swaps natural and tangled word order in `count` blocks, in place; the
// blocks need no alignment.  Lane k of tangled row m is lane k of natural row
// (k - m) mod 4, so each row is a lane-wise select from the four loaded rows.
// Baseline code, called by every vector form.
extern "C" void salsa_core_tangle_sse2(uint32_t *w, uint64_t count) {
    const vec l0 = _mm_setr_epi32(-1, 0, 0, 0), l1 = _mm_setr_epi32(0, -1, 0, 0);
    const vec l2 = _mm_setr_epi32(0, 0, -1, 0), l3 = _mm_setr_epi32(0, 0, 0, -1);
    for (; count != 0; count--, w += 16) {
        const vec a = _mm_loadu_si128((const vec *)w), b = _mm_loadu_si128((const vec *)(w + 4));
        const vec c = _mm_loadu_si128((const vec *)(w + 8)),
                  d = _mm_loadu_si128((const vec *)(w + 12));
        const auto pick = [&](vec p0, vec p1, vec p2, vec p3) {
            return _mm_or_si128(_mm_or_si128(_mm_and_si128(p0, l0), _mm_and_si128(p1, l1)),
                                _mm_or_si128(_mm_and_si128(p2, l2), _mm_and_si128(p3, l3)));
        };
        _mm_storeu_si128((vec *)w, pick(a, b, c, d));
        _mm_storeu_si128((vec *)(w + 4), pick(d, a, b, c));
        _mm_storeu_si128((vec *)(w + 8), pick(c, d, a, b));
        _mm_storeu_si128((vec *)(w + 12), pick(b, c, d, a));
    }
}
