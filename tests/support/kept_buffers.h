// The work buffers the library keeps between calls, as the tests reach them:
// the calling thread's (scrypt_derive_key(), scrypt_derive_keys() and the
// password strings) and scrypt()'s shared ones.
#pragma once

#include <stddef.h>

#include "api/scrypt.h"
#include "core/cache.h"

// The bytes of `w` that a derivation works in and zeroes at its end: the
// tables, and Y, the B chunks and the lane forms' work area (`p` counts the
// B chunks held, a batch's included).  The alignment slack is never used.
inline size_t nonzero_kept_bytes(const work_buffers &w) {
    const size_t chunk = size_t(128) * w.r;
    size_t nonzero = 0;
    for (size_t i = 0; i < (size_t)w.tables * (size_t)w.N * chunk; i++)
        nonzero += w.V.aligned[i] != 0;
    for (size_t i = 0; i < chunk * (1 + (size_t)w.p + w.lane_chunks); i++)
        nonzero += w.YX.aligned[i] != 0;
    return nonzero;
}
