// scrypt()'s shared work buffers as the tests observe them: the table V, the
// work space YX, and the factors they are sized for.
#pragma once

#include <stdint.h>

#include "api/scrypt.h"

inline aligned_buffer &V = scrypt_shared_cache.work.V;
inline aligned_buffer &YX = scrypt_shared_cache.work.YX;

// The factors (base-2 logarithms, N = 2^(Nfactor + 1)) of the buffers held;
// -1 each while nothing is held.
struct factors_held {
    int32_t N, r, p;
};

inline factors_held held_factors() {
    const work_buffers &w = scrypt_shared_cache.work;
    if (w.N == 0) return {-1, -1, -1};
    return {__builtin_ctzll(w.N) - 1, __builtin_ctz(w.r), __builtin_ctz(w.p)};
}
