// ROMix over several chunks at once, one chunk per vector lane, written once
// over an instruction-set policy.
//
// One Salsa20/8 core is a chain of dependent steps, so one chunk runs at the
// latency of that chain whatever the registers' width.  Different chunks are
// independent chains, and here they run side by side word-sliced: vector
// register k holds word k of the current block of every lane's chunk, so
// each step of the core is one vector instruction for all lanes.  Each lane
// has its own table, in natural word order exactly as scrypt_ROMix_basic
// lays it out; the lanes' running chunks live word-sliced in a work area the
// caller provides.  Moving a block between the two layouts (filling a table
// entry, reading the entry that an index names, at the start and the end) is
// a transpose of lanes x 16 words in registers.
//
// Include this header only from the translation unit of one instruction set
// (lanes_sse2.cpp, lanes_avx2.cpp, lanes_avx512.cpp), each compiled with its
// own flags.  Everything here sits in an anonymous namespace, so every unit
// gets its own copy with internal linkage.
#ifndef SCRYPT_VORNIK_MIX_LANES_H
#define SCRYPT_VORNIK_MIX_LANES_H

#include <stddef.h>
#include <stdint.h>
#include <xmmintrin.h>

#include "clear_registers.h"
#include "hash/hash.h"
#include "mix.h"
#include "salsa_rounds.h"

namespace {

// The lanes' requests for their table entries go to the second-level cache,
// not the first: sixteen lanes keep 5 * 16 lines in flight after each index
// and 4 * 16 while a step runs, more than the first level tracks, and
// requested into it they queued behind each other.  On an AMD family 0x19
// model 0x11 (Zen 4), with each lane's table out of the caches, the AVX-512
// lane form then mixed 15 to 18 % faster (N = 2^14, r = 8) and 7 % (N =
// 2^10); in cache, the same.  Each block's loads find their lines a level
// further out, which the core hides behind the rounds of the block before.
constexpr auto entry_hint = _MM_HINT_T2;

// A policy provides
//   word                       the vector type, `lanes` 32-bit lanes
//   lanes                      its lane count, which divides 16
//   arx<n>(t, a, b)            t ^ ((a + b) rotated left by n), lane-wise
//   add(a, b), xor_(a, b)      lane-wise
//   xor3(a, b, c)              a ^ b ^ c, lane-wise
//   load(p), store(p, v)       one vector at p, aligned to its size
//   stream(p, v)               store(p, v) past the caches (non-temporal);
//                              64-byte words only
//   transpose(m[lanes])        m[i] lane k <- m[k] lane i
//   leave()                    run last by the kernel before it returns
//
// Lane l's block b word w lives at sliced[16 * b + w] lane l.

// Reads 16-word block `offset` words into each lane's chunk into the sliced
// block `out`: lanes x lanes tiles, each a transpose of one vector per lane.
template <class P>
__attribute__((always_inline)) inline void gather_block(typename P::word out[16],
                                                        uint32_t *const from[], size_t offset) {
    constexpr unsigned L = P::lanes;
#pragma GCC unroll 16
    for (unsigned q = 0; q < 16; q += L) {
        typename P::word m[L];
#pragma GCC unroll 16
        for (unsigned l = 0; l < L; l++) m[l] = P::load(from[l] + offset + q);
        P::transpose(m);
#pragma GCC unroll 16
        for (unsigned k = 0; k < L; k++) out[q + k] = m[k];
    }
}

// The reverse: writes the sliced block `in` to block `offset` words into
// each lane's chunk, past the caches with `Streaming` set.
template <class P, bool Streaming>
__attribute__((always_inline)) inline void scatter_block(uint32_t *const to[], size_t offset,
                                                         const typename P::word in[16]) {
    constexpr unsigned L = P::lanes;
#pragma GCC unroll 16
    for (unsigned q = 0; q < 16; q += L) {
        typename P::word m[L];
#pragma GCC unroll 16
        for (unsigned k = 0; k < L; k++) m[k] = in[q + k];
        P::transpose(m);
#pragma GCC unroll 16
        for (unsigned l = 0; l < L; l++) {
            if constexpr (Streaming)
                P::stream(to[l] + offset + q, m[l]);
            else
                P::store(to[l] + offset + q, m[l]);
        }
    }
}

// The core on a sliced block in place: the feed-forward words wait in
// `block` (memory) while the sixteen registers run the rounds, so that the
// policy's registers hold the rounds and their temporaries only.
template <class P>
__attribute__((always_inline)) inline void salsa_block(typename P::word block[16],
                                                       typename P::word t[16]) {
#pragma GCC unroll 16
    for (unsigned k = 0; k < 16; k++) block[k] = t[k];
    salsa20_8_rounds<P>(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11],
                        t[12], t[13], t[14], t[15]);
#pragma GCC unroll 16
    for (unsigned k = 0; k < 16; k++) block[k] = t[k] = P::add(t[k], block[k]);
}

// ChunkMix of every lane at once, from the sliced chunk `in` to the sliced
// chunk `out`: with `entry` set, each lane's input is XORed with its own
// entry (a natural-order chunk); with `keep` set, each lane's output is also
// written, in natural order, to its own chunk there (past the caches with
// `Streaming` set).
template <class P, bool Xored, bool Keep, bool Streaming = false>
__attribute__((noinline)) void chunk_mix_lanes(typename P::word *out, const typename P::word *in,
                                               uint32_t *const entry[], uint32_t *const keep[],
                                               uint32_t r) {
    using W = typename P::word;
    const size_t blocks = 2 * (size_t)r;
    W t[16];
    const W *last = in + 16 * (blocks - 1);
#pragma GCC unroll 16
    for (unsigned k = 0; k < 16; k++) t[k] = last[k];
    if (Xored) {
        W e[16];
        gather_block<P>(e, entry, 16 * (blocks - 1));
#pragma GCC unroll 16
        for (unsigned k = 0; k < 16; k++) t[k] = P::xor_(t[k], e[k]);
    }
    for (size_t b = 0; b < blocks; b++) {
        const W *src = in + 16 * b;
        if (!Xored) {
#pragma GCC unroll 16
            for (unsigned k = 0; k < 16; k++) t[k] = P::xor_(t[k], src[k]);
        } else {
            // Each lane's entry line entry_lines_ahead blocks on (see
            // prefetch_entries).
            if (b + entry_lines_ahead < blocks - 1)
                for (unsigned l = 0; l < P::lanes; l++)
                    _mm_prefetch((const char *)(entry[l] + 16 * (b + entry_lines_ahead)),
                                 entry_hint);
            W e[16];
            gather_block<P>(e, entry, 16 * b);
#pragma GCC unroll 16
            for (unsigned k = 0; k < 16; k++) t[k] = P::xor3(t[k], src[k], e[k]);
        }
        // Even blocks go to the first half of the output, odd ones to the
        // second.
        const size_t to = (b >> 1) + (b & 1) * r;
        salsa_block<P>(out + 16 * to, t);
        if (Keep) scatter_block<P, Streaming>(keep, 16 * to, t);
    }
}

// Asks for each lane's table entry: its last line first, as ChunkMix reads
// that one first, then the first entry_lines_ahead lines (mix.h).
inline void prefetch_entries(uint32_t *const entry[], unsigned lanes, size_t bytes) {
    for (unsigned l = 0; l < lanes; l++) {
        const char *p = (const char *)entry[l];
        _mm_prefetch(p + bytes - 64, entry_hint);
        for (size_t o = 0; o < bytes - 64 && o < 64 * entry_lines_ahead; o += 64)
            _mm_prefetch(p + o, entry_hint);
    }
}

// ROMix of `count` chunks (1 to P::lanes) at once; see romix_lanes_function
// in mix.h.  A group that is not full repeats lane 0 in the lanes left over:
// those lanes compute what lane 0 computes and write the same values to the
// same places, so nothing beyond the given chunks and tables is touched.
template <class P>
void romix_lanes(uint32_t *const X[], uint32_t *const V[], uint32_t *work, uint32_t count,
                 uint32_t N, uint32_t r) {
    using W = typename P::word;
    constexpr unsigned L = P::lanes;
    const size_t words = (size_t)32 * r;  // one lane's chunk
    const size_t blocks = 2 * (size_t)r;
    const uint32_t mask = N - 1;
    uint32_t *x[L], *v[L], *entry[L], *next[L];
    for (unsigned l = 0; l < L; l++) {
        x[l] = X[l < count ? l : 0];
        v[l] = V[l < count ? l : 0];
    }
    W *A = (W *)work, *B = A + 16 * blocks;

    // The table's first entry is each lane's chunk as it came.
    for (size_t b = 0; b < blocks; b++) {
        gather_block<P>(A + 16 * b, x, 16 * b);
        scatter_block<P, false>(v, 16 * b, A + 16 * b);
    }
    // Fill the tables with N successive states; the last one stays in A.
    // Tables that together reach the size from which the wipe streams its
    // zeros are written past the caches too: they start out of the caches
    // (the last wipe streamed them out, or they are new), so ordinary stores
    // would first read every line from memory, and they are too large for
    // the caches to keep until the second loop reads them.  On an AMD
    // family 0x19 model 0x11 (Zen 4) the AVX-512 lane form then ran 11 %
    // faster with 16 tables of 1 and of 16 MiB, tables wiped between calls;
    // with 16 tables of 512 KiB, which the caches keep, streaming was 11 %
    // slower.  Only a full group of lanes whose registers each hold a
    // whole line streams: a lane left over would stream lane 0's lines a
    // second time, and a line written in parts by several stores stays open
    // while the other lanes' parts go out, more lines at once than the
    // processor combines.
    constexpr bool whole_lines = sizeof(W) == 64;
    const bool streaming =
        whole_lines && count == L && (uint64_t)count * N * words * 4 >= SCRYPT_WIPE_STREAMING_BYTES;
    for (uint32_t i = 1; i <= N; i++) {
        if (i < N) {
            for (unsigned l = 0; l < L; l++) next[l] = v[l] + i * words;
            // (The narrower forms never stream and compile no streaming copy.)
            if (streaming)
                chunk_mix_lanes<P, false, true, whole_lines>(B, A, nullptr, next, r);
            else
                chunk_mix_lanes<P, false, true>(B, A, nullptr, next, r);
        } else {
            chunk_mix_lanes<P, false, false>(B, A, nullptr, nullptr, r);
        }
        W *t = A;
        A = B;
        B = t;
    }
    // Streamed lines are ordered before what the second loop reads.
    if (streaming) _mm_sfence();
    // N steps of X = ChunkMix(X ^ V[Integerify(X) mod N]) in every lane.
    for (uint32_t i = 0; i < N; i++) {
        alignas(64) uint32_t j[L];
        P::store(j, A[16 * (blocks - 1)]);
        for (unsigned l = 0; l < L; l++) entry[l] = v[l] + (size_t)(j[l] & mask) * words;
        prefetch_entries(entry, L, words * 4);
        chunk_mix_lanes<P, true, false>(B, A, entry, nullptr, r);
        W *t = A;
        A = B;
        B = t;
    }
    for (size_t b = 0; b < blocks; b++) scatter_block<P, false>(x, 16 * b, A + 16 * b);
}

}  // namespace

// Defines scrypt_ROMix_lanes_<isa> over the policy `ops`.
#define SCRYPT_DEFINE_LANE_FORM(isa, ops)                                                \
    extern "C" void scrypt_ROMix_lanes_##isa(uint32_t *const *X, uint32_t *const *V,     \
                                             uint32_t *work, uint32_t count, uint32_t N, \
                                             uint32_t r) {                               \
        romix_lanes<ops>(X, V, work, count, N, r);                                       \
        ops::leave();                                                                    \
    }

#endif
