// The eight rounds of the Salsa20/8 core (four double rounds: a column round
// then a row round), on sixteen words that the caller keeps in locals so that
// the compiler holds them in registers.  Plain scalar code with 32-bit
// rotates; shared by the portable form and the benchmark's latency floor,
// both baseline code.
#ifndef SCRYPT_VORNIK_SALSA_ROUNDS_H
#define SCRYPT_VORNIK_SALSA_ROUNDS_H

#include <stdint.h>

namespace {

inline uint32_t rotl32(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

// Always inlined: as a call, the sixteen words would travel through memory.
__attribute__((always_inline)) inline void salsa20_8_rounds(
    uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3, uint32_t &x4, uint32_t &x5,
    uint32_t &x6, uint32_t &x7, uint32_t &x8, uint32_t &x9, uint32_t &x10, uint32_t &x11,
    uint32_t &x12, uint32_t &x13, uint32_t &x14, uint32_t &x15) {
    // Unrolled, so that the register allocator sees all 32 rounds at once
    // and no loop back-edge forces the words into fixed places each double
    // round (about 1 % for a bare core, 6 % inside ChunkMix).
#pragma GCC unroll 4
    for (int i = 0; i < 8; i += 2) {
        // Column round.
        x4 ^= rotl32(x0 + x12, 7);
        x8 ^= rotl32(x4 + x0, 9);
        x12 ^= rotl32(x8 + x4, 13);
        x0 ^= rotl32(x12 + x8, 18);
        x9 ^= rotl32(x5 + x1, 7);
        x13 ^= rotl32(x9 + x5, 9);
        x1 ^= rotl32(x13 + x9, 13);
        x5 ^= rotl32(x1 + x13, 18);
        x14 ^= rotl32(x10 + x6, 7);
        x2 ^= rotl32(x14 + x10, 9);
        x6 ^= rotl32(x2 + x14, 13);
        x10 ^= rotl32(x6 + x2, 18);
        x3 ^= rotl32(x15 + x11, 7);
        x7 ^= rotl32(x3 + x15, 9);
        x11 ^= rotl32(x7 + x3, 13);
        x15 ^= rotl32(x11 + x7, 18);
        // Row round.
        x1 ^= rotl32(x0 + x3, 7);
        x2 ^= rotl32(x1 + x0, 9);
        x3 ^= rotl32(x2 + x1, 13);
        x0 ^= rotl32(x3 + x2, 18);
        x6 ^= rotl32(x5 + x4, 7);
        x7 ^= rotl32(x6 + x5, 9);
        x4 ^= rotl32(x7 + x6, 13);
        x5 ^= rotl32(x4 + x7, 18);
        x11 ^= rotl32(x10 + x9, 7);
        x8 ^= rotl32(x11 + x10, 9);
        x9 ^= rotl32(x8 + x11, 13);
        x10 ^= rotl32(x9 + x8, 18);
        x12 ^= rotl32(x15 + x14, 7);
        x13 ^= rotl32(x12 + x15, 9);
        x14 ^= rotl32(x13 + x12, 13);
        x15 ^= rotl32(x14 + x13, 18);
    }
}

}  // namespace

#endif
