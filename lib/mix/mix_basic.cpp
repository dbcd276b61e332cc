// Portable Salsa20/8 core, ChunkMix and ROMix: the reference form that the
// vector forms must match bit for bit, and the fallback on processors
// without SSE2.
#include <string.h>

#include "mix.h"
#include "salsa_rounds.h"

namespace {

// The core on sixteen locals, so that the compiler keeps the state in
// registers.
inline void salsa20_8(uint32_t b[16]) {
    uint32_t x0 = b[0], x1 = b[1], x2 = b[2], x3 = b[3], x4 = b[4], x5 = b[5], x6 = b[6], x7 = b[7],
             x8 = b[8], x9 = b[9], x10 = b[10], x11 = b[11], x12 = b[12], x13 = b[13], x14 = b[14],
             x15 = b[15];
    salsa20_8_rounds(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15);
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

// Copies one chunk a block at a time rather than by a call of memcpy: the C
// library's copy may leave the last lines it moved in registers that nothing
// else here uses (on x86-64, AVX-512's upper registers), where they outlive
// the derivation until later code, such as the dynamic linker saving every
// register on the stack, spills them into memory.  The empty asm keeps the
// compiler from turning the loop back into that call.
inline void copy_chunk(uint32_t *to, const uint32_t *from, size_t words) {
    for (size_t w = 0; w < words; w += 16) {
        memcpy(to + w, from + w, 64);
        __asm__ __volatile__("" : : "r"(to + w) : "memory");
    }
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
    copy_chunk(V, X, words);
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
