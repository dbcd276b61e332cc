// The latency floor of the Salsa20/8 core on this processor: a dependent
// chain of bare cores (each one's output is the next one's input) in plain
// scalar code with 32-bit rotates, the block in sixteen locals.  Built without
// auto-vectorisation, so that it stays the scalar reference the mixing forms
// are measured against.
#include <stdint.h>

namespace {

inline uint32_t rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

}  // namespace

extern "C" __attribute__((noinline)) void salsa_floor_chain(uint32_t block[16], uint64_t cores) {
    uint32_t x0 = block[0], x1 = block[1], x2 = block[2], x3 = block[3], x4 = block[4],
             x5 = block[5], x6 = block[6], x7 = block[7], x8 = block[8], x9 = block[9],
             x10 = block[10], x11 = block[11], x12 = block[12], x13 = block[13], x14 = block[14],
             x15 = block[15];
    for (; cores != 0; cores--) {
        const uint32_t j0 = x0, j1 = x1, j2 = x2, j3 = x3, j4 = x4, j5 = x5, j6 = x6, j7 = x7,
                       j8 = x8, j9 = x9, j10 = x10, j11 = x11, j12 = x12, j13 = x13, j14 = x14,
                       j15 = x15;
        for (int i = 0; i < 8; i += 2) {
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
        x0 += j0;
        x1 += j1;
        x2 += j2;
        x3 += j3;
        x4 += j4;
        x5 += j5;
        x6 += j6;
        x7 += j7;
        x8 += j8;
        x9 += j9;
        x10 += j10;
        x11 += j11;
        x12 += j12;
        x13 += j13;
        x14 += j14;
        x15 += j15;
    }
    block[0] = x0;
    block[1] = x1;
    block[2] = x2;
    block[3] = x3;
    block[4] = x4;
    block[5] = x5;
    block[6] = x6;
    block[7] = x7;
    block[8] = x8;
    block[9] = x9;
    block[10] = x10;
    block[11] = x11;
    block[12] = x12;
    block[13] = x13;
    block[14] = x14;
    block[15] = x15;
}
