// What the benchmark measures of the processor it runs on: the dependent
// latency of a scalar and of a vector integer addition (its name, vendor,
// family and model come from tools/common/processor_id.cpp).
#include <stdio.h>
#include <string.h>

#include "bench.h"
#include "dispatch/cpu.h"

namespace bench {

namespace {

// `chain(loops)` runs `loops` times eight dependent additions, the loop's own
// counter beside the chain.  The best of five runs, in ns per addition.
template <class Chain>
double per_addition_ns(Chain chain) {
    const long loops = 10000000;
    double best = 0;
    for (int rep = 0; rep < 5; rep++) {
        const double t0 = now();
        chain(loops);
        const double t = (now() - t0) / (8.0 * loops) * 1e9;
        if (rep == 0 || t < best) best = t;
    }
    return best;
}

}  // namespace

double scalar_add_ns() {
#if defined(__x86_64__)
    return per_addition_ns([](long loops) {
        uint64_t x = 0, one = 1;
        // Register to register: some cores (Intel's since Golden Cove) fold
        // a chain of additions of an immediate at register renaming, so such
        // a chain runs faster than one addition a cycle and times nothing.
        for (long i = 0; i < loops; i++)
            asm volatile(
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
                : "+r"(x)
                : "r"(one));
    });
#else
    return 0;
#endif
}

double vector_add_ns() {
#if defined(__x86_64__)
    typedef int v4si __attribute__((vector_size(16)));
    return per_addition_ns([](long loops) {
        v4si x = {0, 0, 0, 0};
        const v4si one = {1, 1, 1, 1};
        // paddd is SSE2, which every x86-64 processor has.
        for (long i = 0; i < loops; i++)
            asm volatile(
                "paddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\t"
                "paddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0"
                : "+x"(x)
                : "x"(one));
    });
#else
    return 0;
#endif
}

}  // namespace bench
