// The latency floor of the Salsa20/8 core on this processor: a dependent
// chain of bare cores (each one's output is the next one's input) in plain
// scalar code with 32-bit rotates, the block in sixteen locals.  Built without
// auto-vectorisation, so that it stays the scalar reference the mixing forms
// are measured against.
#include <stdint.h>

#include "bench.h"
#include "mix/salsa_rounds.h"

extern "C" __attribute__((noinline)) void salsa_floor_chain(uint32_t block[16], uint64_t cores) {
    uint32_t x0 = block[0], x1 = block[1], x2 = block[2], x3 = block[3], x4 = block[4],
             x5 = block[5], x6 = block[6], x7 = block[7], x8 = block[8], x9 = block[9],
             x10 = block[10], x11 = block[11], x12 = block[12], x13 = block[13], x14 = block[14],
             x15 = block[15];
    for (; cores != 0; cores--) {
        const uint32_t j0 = x0, j1 = x1, j2 = x2, j3 = x3, j4 = x4, j5 = x5, j6 = x6, j7 = x7,
                       j8 = x8, j9 = x9, j10 = x10, j11 = x11, j12 = x12, j13 = x13, j14 = x14,
                       j15 = x15;
        salsa20_8_rounds(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15);
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

double bench::floor_core_ns(uint32_t block[16]) {
    const uint64_t cores = 50000;
    const double t0 = now();
    salsa_floor_chain(block, cores);
    return (now() - t0) / double(cores) * 1e9;
}
