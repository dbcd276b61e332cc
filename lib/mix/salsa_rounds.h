// The eight rounds of the Salsa20/8 core (four double rounds: a column round
// then a row round), on sixteen words that the caller keeps in locals so that
// the compiler holds them in registers.  Written once over the words'
// operations: plain scalar code with 32-bit rotates for the portable form and
// the benchmark's latency floor (both baseline code), and in the lane forms
// a vector register per word, each lane a different chunk.  Everything is in
// an anonymous namespace, so each unit compiles its own copy for its own
// instruction set.
#ifndef SCRYPT_VORNIK_SALSA_ROUNDS_H
#define SCRYPT_VORNIK_SALSA_ROUNDS_H

#include <stdint.h>

namespace {

// The words' operations.  An `Ops` provides the word type and
//   arx<n>(t, a, b)   t ^ ((a + b) rotated left by n)
// the one step of a quarter round.
struct scalar_words {
    using word = uint32_t;
    template <unsigned n>
    static inline word arx(word t, word a, word b) {
        const word s = a + b;
        return t ^ ((s << n) | (s >> (32 - n)));
    }
};

// Always inlined: as a call, the sixteen words would travel through memory.
template <class Ops = scalar_words, class W = typename Ops::word>
__attribute__((always_inline)) inline void salsa20_8_rounds(W &x0, W &x1, W &x2, W &x3, W &x4,
                                                            W &x5, W &x6, W &x7, W &x8, W &x9,
                                                            W &x10, W &x11, W &x12, W &x13, W &x14,
                                                            W &x15) {
    // Unrolled, so that the register allocator sees all 32 rounds at once
    // and no loop back-edge forces the words into fixed places each double
    // round (about 1 % for a bare core, 6 % inside ChunkMix).
#pragma GCC unroll 4
    for (int i = 0; i < 8; i += 2) {
        // Column round.
        x4 = Ops::template arx<7>(x4, x0, x12);
        x8 = Ops::template arx<9>(x8, x4, x0);
        x12 = Ops::template arx<13>(x12, x8, x4);
        x0 = Ops::template arx<18>(x0, x12, x8);
        x9 = Ops::template arx<7>(x9, x5, x1);
        x13 = Ops::template arx<9>(x13, x9, x5);
        x1 = Ops::template arx<13>(x1, x13, x9);
        x5 = Ops::template arx<18>(x5, x1, x13);
        x14 = Ops::template arx<7>(x14, x10, x6);
        x2 = Ops::template arx<9>(x2, x14, x10);
        x6 = Ops::template arx<13>(x6, x2, x14);
        x10 = Ops::template arx<18>(x10, x6, x2);
        x3 = Ops::template arx<7>(x3, x15, x11);
        x7 = Ops::template arx<9>(x7, x3, x15);
        x11 = Ops::template arx<13>(x11, x7, x3);
        x15 = Ops::template arx<18>(x15, x11, x7);
        // Row round.
        x1 = Ops::template arx<7>(x1, x0, x3);
        x2 = Ops::template arx<9>(x2, x1, x0);
        x3 = Ops::template arx<13>(x3, x2, x1);
        x0 = Ops::template arx<18>(x0, x3, x2);
        x6 = Ops::template arx<7>(x6, x5, x4);
        x7 = Ops::template arx<9>(x7, x6, x5);
        x4 = Ops::template arx<13>(x4, x7, x6);
        x5 = Ops::template arx<18>(x5, x4, x7);
        x11 = Ops::template arx<7>(x11, x10, x9);
        x8 = Ops::template arx<9>(x8, x11, x10);
        x9 = Ops::template arx<13>(x9, x8, x11);
        x10 = Ops::template arx<18>(x10, x9, x8);
        x12 = Ops::template arx<7>(x12, x15, x14);
        x13 = Ops::template arx<9>(x13, x12, x15);
        x14 = Ops::template arx<13>(x14, x13, x12);
        x15 = Ops::template arx<18>(x15, x14, x13);
    }
}

}  // namespace

#endif
