// AVX form: the same algorithm in three-operand VEX encodings, rotation by
// shift pairs.  Compiled with -mavx; nothing here is shared with other units.
#include "mix_vector.h"

SCRYPT_DEFINE_VECTOR_FORM(avx, shift_rotate<false>)
