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
    {"avx512tern", FEATURE_AVX512 | FEATURE_AVX, scrypt_ROMix_avx512tern,
     scrypt_ChunkMix_avx512tern, true},
    {"avx", FEATURE_AVX, scrypt_ROMix_avx, scrypt_ChunkMix_avx, true},
    {"sse2", FEATURE_SSE2, scrypt_ROMix_sse2, scrypt_ChunkMix_sse2, true},
#endif
    {"basic", 0, scrypt_ROMix_basic, scrypt_ChunkMix_basic, false},
};
const unsigned scrypt_mix_form_count = sizeof scrypt_mix_forms / sizeof scrypt_mix_forms[0];
static_assert(sizeof scrypt_mix_forms / sizeof scrypt_mix_forms[0] <= max_mix_forms);

form_ranking scrypt_form_ranking = {0, 0, 0, {0}, {0}};

SCRYPT_SEAM_CONST lane_form scrypt_lane_forms[] = {
#if SCRYPT_X86_64
    {"avx512", FEATURE_AVX512 | FEATURE_AVX, 16, scrypt_ROMix_lanes_avx512},
    {"avx2", FEATURE_AVX2 | FEATURE_AVX, 8, scrypt_ROMix_lanes_avx2},
    {"sse2", FEATURE_SSE2, 4, scrypt_ROMix_lanes_sse2},
#else
    {"none", ~(cpu_feature_flags)0, 1, nullptr},  // a placeholder; the count is 0
#endif
};
const unsigned scrypt_lane_form_count =
    SCRYPT_X86_64 ? sizeof scrypt_lane_forms / sizeof scrypt_lane_forms[0] : 0;
static_assert(sizeof scrypt_lane_forms / sizeof scrypt_lane_forms[0] <= max_lane_forms);

lane_ranking scrypt_lane_ranking = {0, 0, {0}, 0};
lane_sample_area scrypt_lane_sample;

bool scrypt_lane_form_runs(const lane_form *f, cpu_feature_flags flags) {
    return (flags & f->required) == f->required;
}

lane_plan scrypt_plan_lanes_by(const lane_ranking *ranking, cpu_feature_flags flags,
                               uint64_t waiting) {
    lane_plan best = {nullptr, 1};
    if (!ranking->ranked || waiting < 2) return best;
    // Time per chunk of each choice, compared as fractions time / chunks: a
    // call of lane form f takes cost[f] * lanes (sixteenths of a tick, as
    // every cost) and mixes m chunks; the single form takes single_cost for
    // one.
    unsigned __int128 best_time = ranking->single_cost;
    uint64_t best_chunks = 1;
    for (unsigned i = 0; i < scrypt_lane_form_count; i++) {
        const lane_form &f = scrypt_lane_forms[i];
        if ((ranking->failed >> i & 1) || ranking->cost[i] == 0 ||
            !scrypt_lane_form_runs(&f, flags))
            continue;
        const uint64_t m = waiting < f.lanes ? waiting : f.lanes;
        const unsigned __int128 time = (unsigned __int128)ranking->cost[i] * f.lanes;
        if (time * best_chunks < best_time * m) {
            best_time = time;
            best_chunks = m;
            best = {&f, (unsigned)m};
        }
    }
    return best;
}

lane_plan scrypt_plan_lanes(cpu_feature_flags flags, uint64_t waiting) {
    return scrypt_plan_lanes_by(&scrypt_lane_ranking, flags, waiting);
}

uint32_t scrypt_lane_sample_word(unsigned lane, unsigned w) {
    return (lane + 1) * 0x9e3779b9u ^ w * 0x85ebca6bu;
}

void scrypt_fill_lane_sample(void) {
    for (unsigned l = 0; l < max_mix_lanes; l++)
        for (unsigned w = 0; w < lane_sample_words; w++)
            scrypt_lane_sample.chunks[l][w] = scrypt_lane_sample_word(l, w);
}

void scrypt_run_lane_sample(const lane_form *form, unsigned count) {
    lane_sample_area &a = scrypt_lane_sample;
    uint32_t *x[max_mix_lanes], *v[max_mix_lanes];
    for (unsigned l = 0; l < max_mix_lanes; l++) {
        x[l] = a.chunks[l];
        v[l] = a.tables[l];
    }
    form->romix(x, v, a.work, count, lane_sample_N, lane_sample_r);
}

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

// One sample of the lane timing: lane form i on a full group, or the
// single form on one chunk.
struct lane_timer {
    const mix_form *single;
    uint64_t sample(unsigned i) {
        lane_sample_area &a = scrypt_lane_sample;
        uint64_t start;
        if (i < scrypt_lane_form_count) {
            const lane_form &f = scrypt_lane_forms[i];
            start = ticks();
            scrypt_run_lane_sample(&f, f.lanes);
        } else {
            start = ticks();
            single->romix(a.single_chunk, a.single_scratch, a.single_table, lane_sample_N,
                          lane_sample_r);
        }
        return ticks() - start;
    }
};

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

void scrypt_rank_lane_forms(uint32_t candidates, const mix_form *single) {
    lane_timer timer{single};
    // Warm-up, as for the single forms.
    for (unsigned i = 0; i <= scrypt_lane_form_count; i++)
        if (i == scrypt_lane_form_count || (candidates >> i & 1)) timer.sample(i);
    scrypt_rank_lane_forms_with(timer, candidates, &scrypt_lane_ranking);
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
