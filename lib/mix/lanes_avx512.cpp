// AVX-512 lane form: sixteen chunks side by side in 64-byte registers,
// rotation by vprold.  Compiled with -mavx512f; nothing here is shared with
// units of other instruction sets.
// gcc 12's 512-bit intrinsics pass an undefined vector as the unused merge
// source of their unmasked forms, which -Wmaybe-uninitialized reports where
// they are inlined (as used or maybe used uninitialised).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include "lanes_avx512.h"
#include "mix_lanes.h"

SCRYPT_DEFINE_LANE_FORM(avx512, avx512_lanes)
