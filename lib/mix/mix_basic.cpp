// Portable Salsa20/8 core, ChunkMix and ROMix: the reference form that the
// vector forms must match bit for bit, and the fallback on processors
// without SSE2.
#include <string.h>

#include "mix.h"

namespace {

inline uint32_t rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

// The core on sixteen locals, so that the compiler keeps the state in
// registers.
inline void salsa20_8(uint32_t b[16]) {
    uint32_t x0 = b[0], x1 = b[1], x2 = b[2], x3 = b[3], x4 = b[4], x5 = b[5], x6 = b[6], x7 = b[7],
             x8 = b[8], x9 = b[9], x10 = b[10], x11 = b[11], x12 = b[12], x13 = b[13], x14 = b[14],
             x15 = b[15];
    for (int i = 0; i < 8; i += 2) {
        // Column round.
        x4 ^= rotl(x0 + x12, 7);
        x8 ^= rotl(x4 + x0, 9);
        x12 ^= rotl(x8 + x4, 13);
        x0 ^= rotl(x12 + x8, 18);
        x9 ^= rotl(x5 + x1, 7);
        x13 ^= rotl(x9 + x5, 9);
        x1 ^= rotl(x13 + x9, 13);
        x5 ^= rotl(x1 + x13, 18);
        x14 ^= rotl(x10 + x6, 7);
        x2 ^= rotl(x14 + x10, 9);
        x6 ^= rotl(x2 + x14, 13);
        x10 ^= rotl(x6 + x2, 18);
        x3 ^= rotl(x15 + x11, 7);
        x7 ^= rotl(x3 + x15, 9);
        x11 ^= rotl(x7 + x3, 13);
        x15 ^= rotl(x11 + x7, 18);
        // Row round.
        x1 ^= rotl(x0 + x3, 7);
        x2 ^= rotl(x1 + x0, 9);
        x3 ^= rotl(x2 + x1, 13);
        x0 ^= rotl(x3 + x2, 18);
        x6 ^= rotl(x5 + x4, 7);
        x7 ^= rotl(x6 + x5, 9);
        x4 ^= rotl(x7 + x6, 13);
        x5 ^= rotl(x4 + x7, 18);
        x11 ^= rotl(x10 + x9, 7);
        x8 ^= rotl(x11 + x10, 9);
        x9 ^= rotl(x8 + x11, 13);
        x10 ^= rotl(x9 + x8, 18);
        x12 ^= rotl(x15 + x14, 7);
        x13 ^= rotl(x12 + x15, 9);
        x14 ^= rotl(x13 + x12, 13);
        x15 ^= rotl(x14 + x13, 18);
    }
    b[0] += x0;
    b[1] += x1;
    b[2] += x2;
    b[3] += x3;
    b[4] += x4;
    b[5] += x5;
    b[6] += x6;
    b[7] += x7;
    b[8] += x8;
    b[9] += x9;
    b[10] += x10;
    b[11] += x11;
    b[12] += x12;
    b[13] += x13;
    b[14] += x14;
    b[15] += x15;
}

// Asks for every line of a table entry at once, its last block first (the
// one ChunkMix reads first): the entry lies at a random place in the table,
// and its lines then arrive together instead of one cache miss after
// another.  A hint only; it changes no result.
inline void prefetch_entry(const uint32_t *entry, size_t bytes) {
#if defined(__GNUC__)
    const char *p = (const char *)entry;
    __builtin_prefetch(p + bytes - 64);
    for (size_t o = 0; o < bytes - 64; o += 64) __builtin_prefetch(p + o);
#else
    (void)entry;
    (void)bytes;
#endif
}

}  // namespace

extern "C" {

void salsa_core_basic(uint32_t block[16]) {
    salsa20_8(block);
}

void scrypt_ChunkMix_basic(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r) {
    alignas(32) uint32_t x[16];
    const uint32_t blocks = 2 * r;
    // Start from the last block of the (xored) input.
    const uint32_t *last = Bin + 16 * (blocks - 1);
    if (Bxor) {
        const uint32_t *last_xor = Bxor + 16 * (blocks - 1);
        for (int k = 0; k < 16; k++) x[k] = last[k] ^ last_xor[k];
    } else {
        for (int k = 0; k < 16; k++) x[k] = last[k];
    }
    // Even-numbered outputs fill the first half of Bout, odd-numbered ones
    // the second: block i goes to i/2 + (0 or r), the half offset flipping
    // with every block.
    uint32_t half = 0;
    for (uint32_t i = 0; i < blocks; i++) {
        const uint32_t *in = Bin + 16 * i;
        if (Bxor) {
            const uint32_t *in_xor = Bxor + 16 * i;
            for (int k = 0; k < 16; k++) x[k] ^= in[k] ^ in_xor[k];
        } else {
            for (int k = 0; k < 16; k++) x[k] ^= in[k];
        }
        salsa20_8(x);
        memcpy(Bout + 16 * ((i >> 1) + half), x, sizeof x);
        half ^= r;
    }
}

void scrypt_ROMix_basic(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r) {
    const size_t words = (size_t)32 * r;  // one chunk
    const uint32_t mask = N - 1;
    // Fill the table with N successive states; the last one moves on into X.
    memcpy(V, X, words * 4);
    for (uint32_t i = 1; i < N; i++)
        scrypt_ChunkMix_basic(V + i * words, V + (i - 1) * words, 0, r);
    scrypt_ChunkMix_basic(X, V + (size_t)(N - 1) * words, 0, r);
    // N steps of X = BlockMix(X ^ V[Integerify(X) mod N]), taken in pairs
    // that alternate between X and Y so the result lands in X.
    // The entry each index names is requested as soon as the index is known.
    for (uint32_t i = 0; i < N; i += 2) {
        uint32_t j = X[words - 16] & mask;
        prefetch_entry(V + j * words, words * 4);
        scrypt_ChunkMix_basic(Y, X, V + j * words, r);
        j = Y[words - 16] & mask;
        prefetch_entry(V + j * words, words * 4);
        scrypt_ChunkMix_basic(X, Y, V + j * words, r);
    }
}

}  // extern "C"
