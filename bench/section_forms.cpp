// Section: every mixing form the processor runs, ns per Salsa20/8 core inside
// ChunkMix and the time of one ROMix (N = 2^14, r = 8), beside the scalar
// latency floor of a bare core (salsa_floor.cpp).
#include <stdio.h>
#include <stdlib.h>

#include "bench.h"
#include "front/cpu.h"
#include "mix/dispatch.h"
#include "mix/mix.h"

extern "C" void salsa_floor_chain(uint32_t block[16], uint64_t cores);

namespace {

using namespace bench;

double floor_ns_per_core() {
    alignas(64) uint32_t block[16];
    fill_random(block, 16, 7);
    const uint64_t cores = 400000;
    salsa_floor_chain(block, cores / 10);
    std::vector<double> t;
    for (int rep = 0; rep < 7; rep++) {
        const double t0 = now();
        salsa_floor_chain(block, cores);
        t.push_back((now() - t0) / double(cores) * 1e9);
    }
    return median(t);
}

// The core clock while this thread runs, from a chain of dependent integer
// additions (one cycle each); 0 where it cannot be measured.
double clock_ghz() {
#if defined(__x86_64__)
    const long loops = 50000000;
    uint64_t x = 0;
    std::vector<double> t;
    for (int rep = 0; rep < 5; rep++) {
        const double t0 = now();
        for (long i = 0; i < loops; i++)
            asm volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
        t.push_back(now() - t0);
    }
    return 4.0 * loops / median(t) * 1e-9;
#else
    return 0;
#endif
}

double chunkmix_ns_per_core(chunkmix_function mix) {
    const uint32_t r = 8;
    const size_t bytes = 128 * r;
    uint32_t *a = aligned_words(bytes), *b = aligned_words(bytes), *x = aligned_words(bytes);
    fill_random(a, bytes / 4, 1);
    fill_random(x, bytes / 4, 2);
    const int pairs = 4000;  // 2 * pairs ChunkMix calls of 2r cores each
    for (int i = 0; i < pairs / 4; i++) mix(b, a, x, r), mix(a, b, x, r);
    std::vector<double> t;
    for (int rep = 0; rep < 9; rep++) {
        const double t0 = now();
        for (int i = 0; i < pairs; i++) mix(b, a, x, r), mix(a, b, x, r);
        t.push_back((now() - t0) / (2.0 * pairs * 2 * r) * 1e9);
    }
    free(a), free(b), free(x);
    return median(t);
}

double romix_seconds(romix_function romix, uint32_t N, uint32_t r) {
    const size_t chunk = 128 * size_t(r);
    uint32_t *X = aligned_words(chunk), *Y = aligned_words(chunk);
    uint32_t *V = table_words(chunk * N);
    fill_random(X, chunk / 4, 3);
    romix(X, Y, V, N, r);
    std::vector<double> t;
    for (int rep = 0; rep < 7; rep++) {
        const double t0 = now();
        romix(X, Y, V, N, r);
        t.push_back(now() - t0);
    }
    free(X), free(Y), free(V);
    return median(t);
}

void section_forms() {
    const uint32_t N = 1u << 14, r = 8;
    const double ghz = clock_ghz();
    const double floor_ns = floor_ns_per_core();
    const double romix_cores = 4.0 * N * r;
    printf("   %-34s %8s %8s %9s %12s %9s\n", "form", "ns/core", "cycles", "vs floor", "ROMix",
           "vs floor");
    printf("   %-34s %8.2f %8.0f %9s %12s %9s\n", "scalar latency floor (bare cores)", floor_ns,
           floor_ns * ghz, "1.00", fmt_time(floor_ns * romix_cores * 1e-9).c_str(), "1.00");
    const cpu_feature_flags flags = detect_cpu();
    const mix_form *selected = scrypt_select_form(flags);
    for (unsigned i = 0; i < scrypt_mix_form_count; i++) {
        const mix_form &f = scrypt_mix_forms[i];
        std::string label = f.name;
        if (&f == selected) label += " (selected)";
        if (!scrypt_form_runs(&f, flags)) {
            printf("   %-34s not runnable on this processor\n", label.c_str());
            continue;
        }
        const double ns = chunkmix_ns_per_core(f.chunkmix);
        const double rs = romix_seconds(f.romix, N, r);
        printf("   %-34s %8.2f %8.0f %9.2f %12s %9.2f\n", label.c_str(), ns, ns * ghz,
               ns / floor_ns, fmt_time(rs).c_str(), rs / (floor_ns * romix_cores * 1e-9));
    }
    printf(
        "\n   ns/core: one Salsa20/8 core inside ChunkMix (xor input and stores included);\n"
        "   cycles at the measured clock of %.2f GHz (dependent-add chain).\n"
        "   ROMix: one call, table on huge pages as the driver places it; vs floor: its time\n"
        "   over 4*N*r bare cores at the floor's rate.\n\n",
        ghz);
}

}  // namespace

BENCH_SECTION(10, "forms",
              "Mixing forms (ChunkMix with an xor input, r = 8; ROMix N = 2^14, r = 8)",
              section_forms)
