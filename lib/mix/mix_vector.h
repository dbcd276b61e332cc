// The vector ChunkMix and ROMix, written once over an instruction-set policy.
//
// Include this header only from the translation unit of one instruction set
// (mix_sse2.cpp, mix_avx.cpp, mix_avx512.cpp, mix_xop.cpp), each compiled
// with its own flags.
// Everything here sits in an anonymous namespace, so every unit gets its own
// copy with internal linkage: the linker can never merge the AVX build of a
// helper into the SSE2 path.
//
// A tangled block keeps one diagonal of the 4x4 word matrix in each 16-byte
// row (natural words 0 5 10 15 | 12 1 6 11 | 8 13 2 7 | 4 9 14 3), so every
// step of a quarter round works on four quarter rounds at once.
#ifndef SCRYPT_VORNIK_MIX_VECTOR_H
#define SCRYPT_VORNIK_MIX_VECTOR_H

#include <emmintrin.h>
#include <string.h>

#include "clear_registers.h"
#include "mix.h"

#if defined(__XOP__)
#include <x86intrin.h>
#endif
#if defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace {

using vec = __m128i;

// A policy provides
//   rotl_xor<s>(target, sum)  target ^ (sum rotated left by s)
//   xor_mem(v, p)             v ^ the 16 bytes at p
//   leave()                   run last by every kernel before it returns
// The forms whose registers baseline code reuses have nothing to leave.
struct baseline_registers {
    static inline void leave() {}
};

// Rotation by a shift pair, each half XORed into the target (the halves do
// not overlap, so no OR is needed).  SSE2 XORs input blocks in through
// aligned memory operands; the VEX forms accept any alignment there.
template <bool AlignedXor>
struct shift_rotate : baseline_registers {
    template <int s>
    static inline vec rotl_xor(vec target, vec sum) {
        target = _mm_xor_si128(target, _mm_slli_epi32(sum, s));
        return _mm_xor_si128(target, _mm_srli_epi32(sum, 32 - s));
    }
    static inline vec xor_mem(vec v, const unsigned char *p) {
        if constexpr (AlignedXor)
            return _mm_xor_si128(v, _mm_load_si128((const vec *)p));
        else
            return _mm_xor_si128(v, _mm_loadu_si128((const vec *)p));
    }
};

#if defined(__XOP__)
// XOP has a per-lane rotate; only the immediate-count form is used.
struct native_rotate : baseline_registers {
    template <int s>
    static inline vec rotl_xor(vec target, vec sum) {
        return _mm_xor_si128(target, _mm_roti_epi32(sum, s));
    }
    static inline vec xor_mem(vec v, const unsigned char *p) {
        return _mm_xor_si128(v, _mm_loadu_si128((const vec *)p));
    }
};
#endif

#if defined(__AVX512F__) && defined(__AVX512VL__)
// AVX-512VL's per-lane rotate (vprold) on 16-byte registers: one
// instruction where the shift pair takes two and an xor.  The compiler may
// give this code any of xmm16-31 and the opmask registers, which baseline
// code never touches, so leave() zeroes them all, and the upper parts of
// zmm0-15 (see mix.h and clear_registers.h).
struct evex_rotate {
    template <int s>
    static inline vec rotl_xor(vec target, vec sum) {
        return _mm_xor_si128(target, _mm_rol_epi32(sum, s));
    }
    static inline vec xor_mem(vec v, const unsigned char *p) {
        return _mm_xor_si128(v, _mm_loadu_si128((const vec *)p));
    }
    static inline void leave() { clear_evex_registers(); }
};

// The same rotation as the shift pair, both halves xored into the target by
// one vpternlogd (0x96: a ^ b ^ c): add, shifts, ternary logic are three
// dependent single-cycle steps where add, vprold, xor take four on a
// processor whose vprold has two cycles of latency (Zen 4); with a
// single-cycle vprold (Intel) both are three.  The chain of one block is
// bound by that latency, not by issue, so the extra shift costs nothing
// there; the lane forms, bound by issue, keep vprold.
struct evex_ternary : evex_rotate {
    template <int s>
    static inline vec rotl_xor(vec target, vec sum) {
        return _mm_ternarylogic_epi32(target, _mm_slli_epi32(sum, s), _mm_srli_epi32(sum, 32 - s),
                                      0x96);
    }  // v ^ the 16 bytes at p ^ those at q in one dependent step.
    static inline vec xor_mem2(vec v, const unsigned char *p, const unsigned char *q) {
        return _mm_ternarylogic_epi32(v, _mm_loadu_si128((const vec *)p),
                                      _mm_loadu_si128((const vec *)q), 0x96);
    }
};
#endif

// Whether the policy xors two inputs into a register in one dependent step
// (xor_mem2(v, p, q): v ^ the 16 bytes at p ^ those at q).
template <class Isa>
constexpr bool merges_xors = requires(vec v, const unsigned char *p) {
    Isa::xor_mem2(v, p, p);
};

// Returns word 0 of the last output block, ROMix's next table index before
// masking, straight from the register that holds it.  With `Ahead` set, each
// block asks for the line of the xor input `Ahead` blocks further on (see
// prefetch_entry).
template <class Isa, unsigned Ahead = 0>
inline uint32_t chunkmix(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r) {
    const size_t c = (size_t)r * 128;  // chunk bytes
    const unsigned char *in = (const unsigned char *)Bin;
    const unsigned char *xr = (const unsigned char *)Bxor;
    unsigned char *out = (unsigned char *)Bout;

    // The running block starts as the last block of Bin ^ Bxor.
    vec x0 = _mm_load_si128((const vec *)(in + c - 64));
    vec x1 = _mm_load_si128((const vec *)(in + c - 48));
    vec x2 = _mm_load_si128((const vec *)(in + c - 32));
    vec x3 = _mm_load_si128((const vec *)(in + c - 16));
    if (xr) {
        x0 = Isa::xor_mem(x0, xr + c - 64);
        x1 = Isa::xor_mem(x1, xr + c - 48);
        x2 = Isa::xor_mem(x2, xr + c - 32);
        x3 = Isa::xor_mem(x3, xr + c - 16);
    }

    size_t b = 0, h = 0;
    do {
        if (merges_xors<Isa> && xr) {
            if constexpr (merges_xors<Isa>) {
                x0 = Isa::xor_mem2(x0, in + b, xr + b);
                x1 = Isa::xor_mem2(x1, in + b + 16, xr + b + 16);
                x2 = Isa::xor_mem2(x2, in + b + 32, xr + b + 32);
                x3 = Isa::xor_mem2(x3, in + b + 48, xr + b + 48);
            }
        } else {
            x0 = Isa::xor_mem(x0, in + b);
            x1 = Isa::xor_mem(x1, in + b + 16);
            x2 = Isa::xor_mem(x2, in + b + 32);
            x3 = Isa::xor_mem(x3, in + b + 48);
        }
        if (Ahead && xr && b + 64 * Ahead < c - 64)
            _mm_prefetch((const char *)xr + b + 64 * Ahead, _MM_HINT_T0);
        if (!merges_xors<Isa> && xr) {
            x0 = Isa::xor_mem(x0, xr + b);
            x1 = Isa::xor_mem(x1, xr + b + 16);
            x2 = Isa::xor_mem(x2, xr + b + 32);
            x3 = Isa::xor_mem(x3, xr + b + 48);
        }
        const vec t0 = x0, t1 = x1, t2 = x2, t3 = x3;

        for (int rounds = 8; rounds > 0; rounds -= 2) {
            // Column half: lane k of rows 0, 3, 2, 1 is quarter round k's a, b, c, d.
            x3 = Isa::template rotl_xor<7>(x3, _mm_add_epi32(x1, x0));
            x2 = Isa::template rotl_xor<9>(x2, _mm_add_epi32(x0, x3));
            x1 = Isa::template rotl_xor<13>(x1, _mm_add_epi32(x3, x2));
            x0 = Isa::template rotl_xor<18>(x0, _mm_add_epi32(x2, x1));
            // Turn the diagonals so that rows 0, 1, 2, 3 line up for the row half.
            x3 = _mm_shuffle_epi32(x3, 0x93);
            x2 = _mm_shuffle_epi32(x2, 0x4e);
            x1 = _mm_shuffle_epi32(x1, 0x39);
            // Row half.
            x1 = Isa::template rotl_xor<7>(x1, _mm_add_epi32(x3, x0));
            x2 = Isa::template rotl_xor<9>(x2, _mm_add_epi32(x0, x1));
            x3 = Isa::template rotl_xor<13>(x3, _mm_add_epi32(x1, x2));
            x0 = Isa::template rotl_xor<18>(x0, _mm_add_epi32(x2, x3));
            // And back.
            x1 = _mm_shuffle_epi32(x1, 0x93);
            x2 = _mm_shuffle_epi32(x2, 0x4e);
            x3 = _mm_shuffle_epi32(x3, 0x39);
        }
        x0 = _mm_add_epi32(x0, t0);
        x1 = _mm_add_epi32(x1, t1);
        x2 = _mm_add_epi32(x2, t2);
        x3 = _mm_add_epi32(x3, t3);

        // Even blocks go to the first half of Bout, odd ones to the second:
        // h is 0 for even blocks and c for odd ones, so this is block b/128
        // or r + b/128, without a branch.
        unsigned char *o = out + (((h + b) & ~(size_t)127) >> 1);
        _mm_store_si128((vec *)o, x0);
        _mm_store_si128((vec *)(o + 16), x1);
        _mm_store_si128((vec *)(o + 32), x2);
        _mm_store_si128((vec *)(o + 48), x3);
        h ^= c;
        b += 64;
    } while (b != c);
    return (uint32_t)_mm_cvtsi128_si32(x0);
}

// Asks for lines of table entry `entry` (`bytes` long), its last block first
// as ChunkMix reads that one first: every line with `Ahead` 0, else the first
// `Ahead` more, ChunkMix asking for the rest as it goes (entry_lines_ahead in
// mix.h).  The entry is at a random place in the table, and its lines then
// arrive in time instead of one cache miss after another.
template <unsigned Ahead = 0>
inline void prefetch_entry(const uint32_t *entry, size_t bytes) {
    const char *p = (const char *)entry;
    _mm_prefetch(p + bytes - 64, _MM_HINT_T0);
    const size_t first = Ahead ? 64 * Ahead : bytes;
    for (size_t o = 0; o < bytes - 64 && o < first; o += 64) _mm_prefetch(p + o, _MM_HINT_T0);
}

// Copies one chunk through the form's own 16-byte registers, which the
// mixing that follows overwrites, rather than by a call of memcpy (see
// copy_chunk in mix_basic.cpp for why).
inline void copy_chunk(uint32_t *to, const uint32_t *from, size_t words) {
    for (size_t w = 0; w < words; w += 16) {
        const vec a = _mm_load_si128((const vec *)(from + w));
        const vec b = _mm_load_si128((const vec *)(from + w + 4));
        const vec c = _mm_load_si128((const vec *)(from + w + 8));
        const vec d = _mm_load_si128((const vec *)(from + w + 12));
        _mm_store_si128((vec *)(to + w), a);
        _mm_store_si128((vec *)(to + w + 4), b);
        _mm_store_si128((vec *)(to + w + 8), c);
        _mm_store_si128((vec *)(to + w + 12), d);
        __asm__ __volatile__("" : : "r"(to + w) : "memory");
    }
}

// ROMix on tangled chunks; X is tangled on entry and untangled on return, so
// the caller sees natural order.  The tangle is the baseline one from the
// SSE2 unit for every form: compiled with -mxop, a compiler may turn its lane
// selects into XOP permutes (clang makes vpperm of them), which the XOP form
// keeps out of its code.  Offsets into V are 64-bit.
template <class Isa, unsigned Ahead = entry_lines_ahead>
inline void romix(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r) {
    const size_t words = (size_t)32 * r;
    const uint32_t mask = N - 1;
    salsa_core_tangle_sse2(X, 2 * (uint64_t)r);
    copy_chunk(V, X, words);
    for (uint32_t i = 1; i < N; i++) chunkmix<Isa>(V + i * words, V + (i - 1) * words, nullptr, r);
    uint32_t j = chunkmix<Isa>(X, V + (size_t)(N - 1) * words, nullptr, r) & mask;
    // Word 0 of a block keeps its place when tangled, so Integerify reads the
    // same word in either order.  Each index is taken from the register as
    // soon as its ChunkMix ends, and the entry it names is requested before
    // the next ChunkMix starts.
    for (uint32_t i = 0; i < N; i += 2) {
        prefetch_entry<Ahead>(V + j * words, words * 4);
        j = chunkmix<Isa, Ahead>(Y, X, V + j * words, r) & mask;
        prefetch_entry<Ahead>(V + j * words, words * 4);
        j = chunkmix<Isa, Ahead>(X, Y, V + j * words, r) & mask;
    }
    salsa_core_tangle_sse2(X, 2 * (uint64_t)r);
}

}  // namespace

// Defines scrypt_ChunkMix_<isa>, its alias _scrypt_ChunkMix_<isa>, and
// scrypt_ROMix_<isa> over the policy `ops`.
#define SCRYPT_DEFINE_VECTOR_FORM(isa, ops)                                                  \
    extern "C" {                                                                             \
    void scrypt_ChunkMix_##isa(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor,    \
                               uint32_t r) {                                                 \
        chunkmix<ops>(Bout, Bin, Bxor, r);                                                   \
        ops::leave();                                                                        \
    }                                                                                        \
    void _scrypt_ChunkMix_##isa(uint32_t *, const uint32_t *, const uint32_t *, uint32_t)    \
        __attribute__((alias("scrypt_ChunkMix_" #isa)));                                     \
    void scrypt_ROMix_##isa(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r) { \
        romix<ops>(X, Y, V, N, r);                                                           \
        ops::leave();                                                                        \
    }                                                                                        \
    }

#endif
