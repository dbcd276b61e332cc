// The floor of the AVX-512 lane form: sixteen independent Salsa20/8 cores at
// once, word-sliced in registers exactly as the lane form runs them, each
// output the next input, with no table, no transpose and no memory traffic.
// What a lane form spends above it goes to its tables and transposes.
// Compiled with -mavx512f; run only where the processor has it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include "bench.h"
#include "mix/lanes_avx512.h"
#include "mix/salsa_rounds.h"

namespace {

__attribute__((noinline)) void lanes_floor_chain(uint32_t blocks[256], uint64_t cores) {
    using P = avx512_lanes;
    P::word x[16];
    for (unsigned k = 0; k < 16; k++) x[k] = P::load(blocks + 16 * k);
    for (; cores != 0; cores--) {
        P::word j[16];
#pragma GCC unroll 16
        for (unsigned k = 0; k < 16; k++) j[k] = x[k];
        salsa20_8_rounds<P>(x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7], x[8], x[9], x[10],
                            x[11], x[12], x[13], x[14], x[15]);
#pragma GCC unroll 16
        for (unsigned k = 0; k < 16; k++) x[k] = P::add(x[k], j[k]);
    }
    for (unsigned k = 0; k < 16; k++) P::store(blocks + 16 * k, x[k]);
    P::leave();
}

}  // namespace

double bench::lanes_floor_ns_avx512(uint32_t blocks[256]) {
    const uint64_t cores = 20000;
    const double t0 = now();
    lanes_floor_chain(blocks, cores);
    return (now() - t0) / double(cores * 16) * 1e9;
}
