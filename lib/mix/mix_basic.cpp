// Portable Salsa20/8 core, ChunkMix and ROMix: the reference form that the
// vector forms must match bit for bit, the fallback on processors without
// SSE2, and the form to run where scalar code beats the vector forms.
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

// Asks for lines of a table entry, its last block first (the one ChunkMix
// reads first): every line with `Ahead` 0, else the first `Ahead` more, and
// ChunkMix asks for the rest as it goes (entry_lines_ahead in mix.h).  The
// entry lies at a random place in the table, and its lines then arrive in
// time instead of one cache miss after another.  A hint only; it changes no
// result.
inline void prefetch_line(const void *p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}
template <unsigned Ahead = 0>
inline void prefetch_entry(const uint32_t *entry, size_t bytes) {
    const char *p = (const char *)entry;
    prefetch_line(p + bytes - 64);
    const size_t first = Ahead ? 64 * Ahead : bytes;
    for (size_t o = 0; o < bytes - 64 && o < first; o += 64) prefetch_line(p + o);
}

// Where the cycles go.  A core is 384 chained additions, rotates and xors
// on sixteen words, and x86-64 has fifteen free general registers: the
// rounds alone already spill, and a bare chain of cores runs at the pace of
// the processor's integer units.  Inside ChunkMix the compiler must also keep
// the sixteen feed-forward words, the running block from one block to the
// next and the loop's pointers; left to itself it spilled whichever words it
// liked, and some store-to-load round trips landed on the chain from one core
// to the next (one of them through a 16-byte reload of words stored 4 bytes
// at a time, which the processor cannot forward, so the load waited for the
// stores to retire).  So the words' places are chosen here:
//   - the feed-forward words go to the output block before the rounds and are
//     added from there after them, long after their stores;
//   - from one block to the next only the diagonal words 0, 5, 10 and 15 stay
//     in registers: the rounds finish them last and the next core needs them
//     first.  The other twelve are finished several steps earlier and come
//     back from the block just written, which hides the round trip;
//   - the next block's input (the xor of the two inputs, where there are
//     two) is made during the current block, into a small buffer (the
//     compiler uses the baseline's vector instructions for it), so that the
//     chain meets one xor per word; only the first block takes its inputs
//     straight into registers (see chunk_mix);
//   - the 32 rounds are unrolled (salsa_rounds.h).
// With 31 registers (aarch64) the same places cost nothing.  The results are
// those of the plain order of operations, bit for bit.

// A compiler barrier: memory written before it is read after it from memory,
// not from a register that the compiler kept.  It emits no instruction.
inline void keep_in_memory() {
#if defined(__GNUC__)
    __asm__ __volatile__("" ::: "memory");
#endif
}

// One block of ChunkMix.  The running block is the diagonal words x0, x5,
// x10 and x15 (in registers) and the other twelve words of `prev`; the block
// xors the inputs `in...` into it, runs the core with the feed-forward words
// parked in `out`, and leaves the result in `out` and the diagonal words.
// With `next` set it first fills `ahead` with the next block's input, xored
// with `next_xor` when that is set too.
template <class... In>
__attribute__((always_inline)) inline void mix_block(uint32_t &x0, uint32_t &x5, uint32_t &x10,
                                                     uint32_t &x15, const uint32_t *prev,
                                                     uint32_t *out, const uint32_t *next,
                                                     const uint32_t *next_xor, uint32_t *ahead,
                                                     const In *...in) {
    x0 ^= (in[0] ^ ...);
    uint32_t x1 = prev[1] ^ (in[1] ^ ...);
    uint32_t x2 = prev[2] ^ (in[2] ^ ...);
    uint32_t x3 = prev[3] ^ (in[3] ^ ...);
    uint32_t x4 = prev[4] ^ (in[4] ^ ...);
    x5 ^= (in[5] ^ ...);
    uint32_t x6 = prev[6] ^ (in[6] ^ ...);
    uint32_t x7 = prev[7] ^ (in[7] ^ ...);
    uint32_t x8 = prev[8] ^ (in[8] ^ ...);
    uint32_t x9 = prev[9] ^ (in[9] ^ ...);
    x10 ^= (in[10] ^ ...);
    uint32_t x11 = prev[11] ^ (in[11] ^ ...);
    uint32_t x12 = prev[12] ^ (in[12] ^ ...);
    uint32_t x13 = prev[13] ^ (in[13] ^ ...);
    uint32_t x14 = prev[14] ^ (in[14] ^ ...);
    x15 ^= (in[15] ^ ...);
    // The feed-forward words.
    out[0] = x0;
    out[1] = x1;
    out[2] = x2;
    out[3] = x3;
    out[4] = x4;
    out[5] = x5;
    out[6] = x6;
    out[7] = x7;
    out[8] = x8;
    out[9] = x9;
    out[10] = x10;
    out[11] = x11;
    out[12] = x12;
    out[13] = x13;
    out[14] = x14;
    out[15] = x15;
    if (next)
        for (int k = 0; k < 16; k++) ahead[k] = next_xor ? next[k] ^ next_xor[k] : next[k];
    keep_in_memory();
    salsa20_8_rounds(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15);
    out[0] = x0 += out[0];
    out[1] = x1 + out[1];
    out[2] = x2 + out[2];
    out[3] = x3 + out[3];
    out[4] = x4 + out[4];
    out[5] = x5 += out[5];
    out[6] = x6 + out[6];
    out[7] = x7 + out[7];
    out[8] = x8 + out[8];
    out[9] = x9 + out[9];
    out[10] = x10 += out[10];
    out[11] = x11 + out[11];
    out[12] = x12 + out[12];
    out[13] = x13 + out[13];
    out[14] = x14 + out[14];
    out[15] = x15 += out[15];
    keep_in_memory();
}

// Returns word 0 of the last output block, ROMix's next table index before
// masking, from the register that holds it.  Kept out of line: inlined into
// ROMix's loops, its registers would be shared with theirs.  With `Ahead`
// set, each block asks for the line of Bxor `Ahead` blocks further on (see
// prefetch_entry).
template <bool Xored, unsigned Ahead = 0>
__attribute__((noinline)) uint32_t chunk_mix(uint32_t *Bout, const uint32_t *Bin,
                                             const uint32_t *Bxor, uint32_t r) {
    // Offsets in 64 bits: a chunk may exceed 2^32 words (r up to 2^30).
    const size_t blocks = 2 * (size_t)r;
    // The running block starts as the last block of the (xored) input.  That
    // block of Bin is often the one just written (ROMix passes one call's
    // output to the next), so it is read as it was stored, a word at a time:
    // a wider load of narrower stores waits until they reach the cache.
    const uint32_t *last = Bin + 16 * (blocks - 1);
    uint32_t x0 = last[0], x5 = last[5], x10 = last[10], x15 = last[15];
    const uint32_t *prev = last;
    uint32_t *out = Bout;
    alignas(64) uint32_t ahead[16];
    // The first block takes its input words straight into registers: in
    // ROMix the address of Bxor comes from the index just computed, and the
    // chain from one call to the next runs through these loads.  Later blocks
    // take their input from `ahead`, made one block before.
    if (Ahead && Xored && Ahead < blocks - 1) prefetch_line(Bxor + 16 * Ahead);
    if (Xored)
        mix_block(x0, x5, x10, x15, prev, out, Bin + 16, Bxor + 16, ahead, Bin, Bxor,
                  Bxor + 16 * (blocks - 1));
    else
        mix_block(x0, x5, x10, x15, prev, out, Bin + 16, nullptr, ahead, Bin);
    prev = out;
    for (size_t i = 1; i < blocks; i++) {
        // Even-numbered outputs fill the first half of Bout, odd-numbered ones
        // the second.
        out = Bout + 16 * ((i >> 1) + (i & 1) * r);
        const uint32_t *next = i + 1 < blocks ? Bin + 16 * (i + 1) : nullptr;
        if (Ahead && Xored && i + Ahead < blocks - 1) prefetch_line(Bxor + 16 * (i + Ahead));
        mix_block(x0, x5, x10, x15, prev, out, next, Xored ? Bxor + 16 * (i + 1) : nullptr, ahead,
                  (const uint32_t *)ahead);
        prev = out;
    }
    return x0;
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

// ROMix; `Ahead` as for prefetch_entry.
template <unsigned Ahead>
void romix(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r) {
    const size_t words = (size_t)32 * r;  // one chunk
    const uint32_t mask = N - 1;
    // Fill the table with N successive states; the last one moves on into X.
    copy_chunk(V, X, words);
    uint32_t j = 0;
    for (uint32_t i = 1; i <= N; i++)
        j = chunk_mix<false>(i < N ? V + i * words : X, V + (i - 1) * words, nullptr, r);
    // N steps of X = BlockMix(X ^ V[Integerify(X) mod N]), alternating
    // between X and Y; N is even, so the result lands in X.  The entry each
    // index names is requested as soon as the index is known.
    uint32_t *from = X, *to = Y;
    for (uint32_t i = 0; i < N; i++) {
        const uint32_t *entry = V + (j & mask) * words;
        prefetch_entry<Ahead>(entry, words * 4);
        j = chunk_mix<true, Ahead>(to, from, entry, r);
        uint32_t *t = from;
        from = to;
        to = t;
    }
}

}  // namespace

extern "C" {

void salsa_core_basic(uint32_t block[16]) {
    salsa20_8(block);
}

void scrypt_ChunkMix_basic(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r) {
    if (Bxor)
        chunk_mix<true>(Bout, Bin, Bxor, r);
    else
        chunk_mix<false>(Bout, Bin, nullptr, r);
}

void scrypt_ROMix_basic(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r) {
    romix<entry_lines_ahead>(X, Y, V, N, r);
}

}  // extern "C"
