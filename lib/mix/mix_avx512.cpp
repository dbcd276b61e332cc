// AVX-512 form: the same algorithm on 16-byte registers in EVEX encodings,
// rotation by vprold.  Compiled with -mavx512f -mavx512vl; nothing here is
// shared with other units.
#include "mix_vector.h"

SCRYPT_DEFINE_VECTOR_FORM(avx512, evex_rotate)
