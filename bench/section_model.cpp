// Section: the machine's limit for a derivation with r = 8, p = 1, and how
// close the library comes to it.  No derivation can be faster than
//     limit = 2N * 2r * core + N * latency
// where `core` is one Salsa20/8 core on a dependent chain of cores (the
// scalar floor of the forms section) and `latency` one dependent random read
// of a table entry (128 * r bytes) in a table of the derivation's size,
// placed as the driver places it: ROMix's second loop learns each index only
// when the step before it ends.  The latency is a pointer chase over the
// entries in a random cycle, in two kinds: one line per entry, and every line
// of the entry requested at once and all of them needed for the next index,
// as ROMix needs them.  ROMix is split into its two loops: the fill (N
// ChunkMix steps writing the table, timed as ROMix runs them) and the rest,
// against the same ChunkMix steps with their xor input in the cache.
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "bench.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"

namespace {

using namespace bench;

constexpr uint32_t r = 8;
constexpr size_t entry_bytes = 128 * r, entry_words = entry_bytes / 4, lines = entry_bytes / 64;

// A random cycle through every entry of the table: the next entry's index is
// the xor of word 0 of each of the entry's lines (so that an entry is read
// through only when all its lines have arrived), or word 0 of its first
// line alone.
void make_cycle(uint32_t *V, uint32_t entries) {
    std::vector<uint32_t> order(entries);
    for (uint32_t i = 0; i < entries; i++) order[i] = i;
    uint32_t s = 0x2545f491u;
    for (uint32_t i = entries - 1; i > 0; i--) {  // Sattolo: one cycle
        s ^= s << 13, s ^= s >> 17, s ^= s << 5;
        const uint32_t k = s % i;
        const uint32_t t = order[i];
        order[i] = order[k];
        order[k] = t;
    }
    fill_random(V, size_t(entries) * entry_words, 11);
    for (uint32_t i = 0; i < entries; i++) {
        uint32_t *e = V + size_t(i) * entry_words;
        e[0] = order[i];
        uint32_t x = 0;
        for (size_t l = 0; l + 1 < lines; l++) x ^= e[16 * l];
        e[16 * (lines - 1)] = x ^ order[i];
    }
}

// ns per step of a walk of `steps` entries.
double walk_ns(const uint32_t *V, uint64_t steps, bool whole_entry) {
    uint32_t i = 0;
    const double t0 = now();
    if (whole_entry) {
        for (uint64_t n = 0; n < steps; n++) {
            const uint32_t *e = V + size_t(i) * entry_words;
            for (size_t l = 0; l < lines; l++) __builtin_prefetch(e + 16 * l);
            uint32_t x = 0;
            for (size_t l = 0; l < lines; l++) x ^= e[16 * l];
            i = x;
        }
    } else {
        for (uint64_t n = 0; n < steps; n++) i = V[size_t(i) * entry_words];
    }
    const double t = now() - t0;
    __asm__ __volatile__("" : : "r"(i));
    return t / double(steps) * 1e9;
}

// ROMix's first loop as it runs it: N ChunkMix steps, each on the last.
double fill_seconds(const mix_form &f, uint32_t *X, uint32_t *V, uint32_t N) {
    const double t0 = now();
    for (uint32_t i = 1; i < N; i++)
        f.chunkmix(V + size_t(i) * entry_words, V + size_t(i - 1) * entry_words, nullptr, r);
    f.chunkmix(X, V + size_t(N - 1) * entry_words, nullptr, r);
    return now() - t0;
}

// ROMix's second loop's ChunkMix steps with the xor input in the cache.
double cached_mix_seconds(const mix_form &f, uint32_t *X, uint32_t *Y, const uint32_t *B,
                          uint32_t N) {
    const double t0 = now();
    for (uint32_t i = 0; i < N; i += 2) f.chunkmix(Y, X, B, r), f.chunkmix(X, Y, B, r);
    return now() - t0;
}

void section_model() {
    const mix_form &form = *scrypt_select_form(detect_cpu());
    const factor_set model_sets[] = {{13, 3, 0}, {16, 3, 0}, {19, 3, 0}};
    alignas(64) uint32_t block[16];
    fill_random(block, 16, 7);
    std::vector<double> core_t;
    for (int i = 0; i < 31; i++) core_t.push_back(floor_core_ns(block));
    const double core = median(core_t);
    printf("   core (scalar floor, one Salsa20/8 core on a dependent chain): %.2f ns\n", core);
    printf("   form that ROMix runs here: %s\n\n", form.name);

    printf("   %-9s %9s %10s %10s %11s %11s %7s\n", "set", "table", "latency", "lat/entry", "limit",
           "scrypt()", "ratio");
    struct split {
        double romix, fill, cached, latency, entry_latency;
    };
    std::vector<split> splits;
    bool all_met = true;
    for (const factor_set &f : model_sets) {
        const uint32_t N = uint32_t(f.N());
        const size_t table = size_t(N) * entry_bytes;
        uint32_t *V = table_words(table);
        uint32_t *X = aligned_words(entry_bytes), *Y = aligned_words(entry_bytes);
        uint32_t *B = aligned_words(entry_bytes);
        fill_random(B, entry_words, 5);
        // Rounds interleave every measurement; the largest table gets fewer.
        const int rounds = f.Nfactor >= 19 ? 2 : f.Nfactor >= 16 ? 3 : 7;
        const uint64_t steps = N < (1u << 18) ? (1u << 18) : N;
        std::vector<double> lat, elat, derive_t, romix_t, fill_t, cached_t;
        uint8_t out[out_len];
        library_derive(f, out);  // warm-up: buffers of the size in place
        for (int k = 0; k < rounds; k++) {
            make_cycle(V, N);
            lat.push_back(walk_ns(V, steps, false));
            elat.push_back(walk_ns(V, steps, true));
            double t0 = now();
            library_derive(f, out);
            derive_t.push_back(now() - t0);
            fill_random(X, entry_words, 3 + k);
            t0 = now();
            form.romix(X, Y, V, N, r);
            romix_t.push_back(now() - t0);
            fill_t.push_back(fill_seconds(form, X, V, N));
            cached_t.push_back(cached_mix_seconds(form, X, Y, B, N));
        }
        const split s = {median(romix_t), median(fill_t), median(cached_t), median(lat),
                         median(elat)};
        splits.push_back(s);
        const double limit = (2.0 * N * 2 * r * core + N * s.latency) * 1e-9;
        const double d = median(derive_t);
        all_met = all_met && d <= 1.10 * limit;
        char name[16];
        snprintf(name, sizeof name, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        printf("   %-9s %9s %7.0f ns %7.0f ns %11s %11s %7.2f\n", name, fmt_bytes(table).c_str(),
               s.latency, s.entry_latency, fmt_time(limit).c_str(), fmt_time(d).c_str(), d / limit);
        free(V), free(X), free(Y), free(B);
    }
    printf("\n   ROMix (%s form) split into its loops:\n", form.name);
    printf("   %-9s %11s %11s %11s %11s %11s %10s\n", "set", "ROMix", "fill", "mix loop",
           "in cache", "wait/step", "latency");
    for (size_t k = 0; k < splits.size(); k++) {
        const factor_set &f = model_sets[k];
        const split &s = splits[k];
        const double N = double(f.N()), mix = s.romix - s.fill;
        char name[16];
        snprintf(name, sizeof name, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        printf("   %-9s %11s %11s %11s %11s %8.0f ns %7.0f ns\n", name, fmt_time(s.romix).c_str(),
               fmt_time(s.fill).c_str(), fmt_time(mix).c_str(), fmt_time(s.cached).c_str(),
               (mix - s.cached) / N * 1e9, s.latency);
    }
    printf(
        "\n   latency: one dependent read of one line of a random entry; lat/entry: every line\n"
        "   of the entry requested at once and all of them needed.  limit = 2N*16*core +\n"
        "   N*latency.  scrypt(): the whole call, wipe included, buffers warm.  fill: the\n"
        "   table's N ChunkMix steps; mix loop: ROMix less the fill; in cache: its N steps with\n"
        "   the xor input in the cache; wait/step: what each step of the mix loop spends beyond\n"
        "   them.  Medians of interleaved rounds.  Every set within 1.10x of the limit: %s.\n\n",
        all_met ? "met" : "MISSED");
}

}  // namespace

BENCH_SECTION(15, "model", "The machine's limit (r = 8, p = 1) and ROMix's two loops",
              section_model)
