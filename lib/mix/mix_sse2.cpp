// SSE2 form (two-operand instructions, rotation by shift pairs).  Also home
// of the tangle permutation that all three vector forms share.
#include "mix_vector.h"

SCRYPT_DEFINE_VECTOR_FORM(sse2, shift_rotate<true>)

extern "C" void salsa_core_tangle_sse2(uint32_t *blocks, uint64_t count) {
    tangle_blocks(blocks, count);
}
