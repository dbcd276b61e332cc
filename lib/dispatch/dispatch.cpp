#include "dispatch.h"

#include <time.h>

#if SCRYPT_X86_64
#include <x86intrin.h>
#endif

extern "C" {

SCRYPT_SEAM_CONST mix_form scrypt_mix_forms[] = {
#if SCRYPT_X86_64
    {"xop", FEATURE_XOP | FEATURE_AVX, scrypt_ROMix_xop, scrypt_ChunkMix_xop, true},
    {"avx512", FEATURE_AVX512 | FEATURE_AVX, scrypt_ROMix_avx512, scrypt_ChunkMix_avx512, true},
    {"avx", FEATURE_AVX, scrypt_ROMix_avx, scrypt_ChunkMix_avx, true},
    {"sse2", FEATURE_SSE2, scrypt_ROMix_sse2, scrypt_ChunkMix_sse2, true},
#endif
    {"basic", 0, scrypt_ROMix_basic, scrypt_ChunkMix_basic, false},
};
const unsigned scrypt_mix_form_count = sizeof scrypt_mix_forms / sizeof scrypt_mix_forms[0];
static_assert(sizeof scrypt_mix_forms / sizeof scrypt_mix_forms[0] <= max_mix_forms);

form_ranking scrypt_form_ranking = {0, 0, 0, {0}, {0}};

bool scrypt_form_runs(const mix_form *f, cpu_feature_flags flags) {
    return (flags & f->required) == f->required;
}

void scrypt_order_forms(form_ranking *ranking, uint32_t candidates, const uint64_t cost[]) {
    uint32_t left = candidates & ((1u << scrypt_mix_form_count) - 1);
    ranking->count = 0;
    while (left != 0) {
        uint64_t fastest = UINT64_MAX;
        for (unsigned i = 0; i < scrypt_mix_form_count; i++)
            if ((left >> i & 1) && cost[i] < fastest) fastest = cost[i];
        // The first form in table order that is as fast, give or take the
        // tie margin.  Widened so that no cost can overflow the comparison.
        const unsigned __int128 limit = (unsigned __int128)fastest * (100 + form_tie_percent);
        unsigned pick = 0;
        while (!(left >> pick & 1) || (unsigned __int128)cost[pick] * 100 > limit) pick++;
        ranking->order[ranking->count++] = (uint8_t)pick;
        left &= ~(1u << pick);
    }
    for (unsigned i = 0; i < max_mix_forms; i++)
        ranking->cost[i] = (candidates >> i & 1) && i < scrypt_mix_form_count ? cost[i] : 0;
    ranking->ranked = 1;
}

}  // extern "C"

namespace {

// The workload of one sample: a few ChunkMix steps with r = 4 and an xor
// input, as ROMix's second loop runs them (a few microseconds).  The data
// are arbitrary; the vector forms take them as tangled words.
constexpr uint32_t sample_r = 4;
constexpr unsigned sample_steps = 8;
constexpr size_t sample_words = 32 * sample_r;

uint64_t ticks() {
#if SCRYPT_X86_64
    return __rdtsc();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
#endif
}

struct chunkmix_timer {
    alignas(64) uint32_t a[sample_words];
    alignas(64) uint32_t b[sample_words];
    alignas(64) uint32_t x[sample_words];

    void run(unsigned form) {
        const chunkmix_function mix = scrypt_mix_forms[form].chunkmix;
        for (unsigned s = 0; s < sample_steps; s += 2) {
            mix(b, a, x, sample_r);
            mix(a, b, x, sample_r);
        }
    }
    uint64_t sample(unsigned form) {
        const uint64_t start = ticks();
        run(form);
        return ticks() - start;
    }
};

}  // namespace

extern "C" {

void scrypt_rank_forms(uint32_t candidates) {
    chunkmix_timer timer;
    for (size_t i = 0; i < sample_words; i++) {
        timer.a[i] = (uint32_t)i * 0x9e3779b9u;
        timer.x[i] = (uint32_t)i * 0x85ebca6bu;
    }
    // One untimed run each first: code and data into the caches, and any
    // switch of the vector unit's power state behind us.
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (candidates >> i & 1) timer.run(i);
    scrypt_rank_forms_with(timer, candidates, &scrypt_form_ranking);
}

const mix_form *scrypt_select_form_by(const form_ranking *ranking, cpu_feature_flags flags) {
    const auto usable = [&](unsigned i) {
        return !(ranking->failed >> i & 1) && scrypt_form_runs(&scrypt_mix_forms[i], flags);
    };
    if (ranking->ranked)
        for (unsigned k = 0; k < ranking->count; k++)
            if (usable(ranking->order[k])) return &scrypt_mix_forms[ranking->order[k]];
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (usable(i)) return &scrypt_mix_forms[i];
    // Every form that runs here failed: the portable one is as good as any.
    return &scrypt_mix_forms[scrypt_mix_form_count - 1];
}

const mix_form *scrypt_select_form(cpu_feature_flags flags) {
    return scrypt_select_form_by(&scrypt_form_ranking, flags);
}

}  // extern "C"
