// XOP form: the native per-lane rotate by immediate counts.  Compiled with
// -mxop; nothing here is shared with other units.
#include "mix_vector.h"

SCRYPT_DEFINE_VECTOR_FORM(xop, native_rotate)
