// AVX-512 forms: the same algorithm on 16-byte registers in EVEX encodings,
// rotation by vprold (avx512), or by a shift pair merged into the target by
// vpternlogd (avx512tern), whose quarter-round step is one dependent level
// shorter where vprold takes two cycles.  Which runs faster is measured by
// the ranking.  Compiled with -mavx512f -mavx512vl; nothing here is shared
// with other units.
#include "mix_vector.h"

SCRYPT_DEFINE_VECTOR_FORM(avx512, evex_rotate)
SCRYPT_DEFINE_VECTOR_FORM(avx512tern, evex_ternary)
