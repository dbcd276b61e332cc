// Which mixing form a call runs.
//
// The library carries up to six forms of the mix (XOP, two of AVX-512, AVX,
// SSE2 and the portable one), all giving the same results.  Which one is fastest depends
// on the microarchitecture, and no feature bit tells: on some processors the
// vector forms beat scalar code, on others a dependent vector integer
// operation costs twice a scalar one and the portable form wins.  So the
// first call's self-test, right after it has checked every form against its
// known answer, times each form that passed on a small ChunkMix workload and
// ranks them.  Every call then runs the best-ranked form that the features
// detected for it allow.  Before the ranking exists the table's order
// (XOP, AVX-512, AVX-512 with ternary logic, AVX, SSE2, portable) stands in
// for it, and a form that failed its
// known answer is never chosen.
#ifndef SCRYPT_VORNIK_DISPATCH_H
#define SCRYPT_VORNIK_DISPATCH_H

#include <stdint.h>

#include "cpu.h"
#include "internal.h"
#include "mix/mix.h"

SCRYPT_PRIVATE_BEGIN

// One mixing form: its name, the features it needs, and its entry points.
typedef struct mix_form {
    const char *name;
    cpu_feature_flags required;  // every one of these bits; 0: runs anywhere
    romix_function romix;
    chunkmix_function chunkmix;
    bool tangled;  // chunkmix works on tangled chunks
} mix_form;

enum : unsigned { max_mix_forms = 6 };

// Every form in order of preference when their speeds are equal; the
// portable form is last and runs anywhere.
extern SCRYPT_SEAM_CONST mix_form scrypt_mix_forms[];
extern const unsigned scrypt_mix_form_count;

// Whether a processor with `flags` runs form `f`: it has every feature the
// form needs.
bool scrypt_form_runs(const mix_form *f, cpu_feature_flags flags);

// The forms ranked by measured speed.  Zero-initialised means "not ranked".
typedef struct form_ranking {
    uint32_t ranked;               // 1 once the ranking has been made
    uint32_t failed;               // bit i: form i gave a wrong known answer
    unsigned count;                // entries in `order`
    uint8_t order[max_mix_forms];  // indices of the ranked forms, best first
    uint64_t cost[max_mix_forms];  // best time of one sample of form i; 0: not timed
} form_ranking;

// The ranking of this process, made once by the first call's self-test.
extern form_ranking scrypt_form_ranking;

// Forms whose best sample lies within this many hundredths of the fastest
// count as equally fast; the table's order decides between them.
enum : unsigned { form_tie_percent = 5 };

// Orders the forms whose bit is set in `candidates` by `cost` (a form index
// to a time) into `ranking`: repeatedly the fastest remaining form, or among
// the remaining forms within form_tie_percent of it the one first in the
// table.  Leaves `ranking->failed` as it is.
void scrypt_order_forms(form_ranking *ranking, uint32_t candidates, const uint64_t cost[]);

// Times the forms whose bit is set in `candidates` on this processor and
// records their order in scrypt_form_ranking.  Allocates nothing; takes well
// under a millisecond.
void scrypt_rank_forms(uint32_t candidates);

// The form a call runs on a processor with `flags`, by `ranking`: the
// best-ranked form that runs there and has not failed; without a ranking the
// first such form in table order; the portable form if every form failed.
const mix_form *scrypt_select_form_by(const form_ranking *ranking, cpu_feature_flags flags);
// The same by this process's ranking.
const mix_form *scrypt_select_form(cpu_feature_flags flags);

// ---------------------------------------------------------------- lane forms
//
// ROMix over several chunks at once, one per vector lane (mix_lanes.h), for
// callers that have more than one chunk of the same N and r to mix.  Like
// the single forms, each is checked by the self-test (against the portable
// ROMix) and timed, per chain-core, beside the single form that calls run;
// a group of chunks then runs in whichever does it in the least time.

typedef struct lane_form {
    const char *name;
    cpu_feature_flags required;  // every one of these bits
    unsigned lanes;              // chunks per call at most
    romix_lanes_function romix;
} lane_form;

enum : unsigned { max_lane_forms = 3 };

// Widest first.  Empty off x86-64.
extern SCRYPT_SEAM_CONST lane_form scrypt_lane_forms[];
extern const unsigned scrypt_lane_form_count;

bool scrypt_lane_form_runs(const lane_form *f, cpu_feature_flags flags);

// The lane forms' timings.  Zero-initialised means "not measured".
typedef struct lane_ranking {
    uint32_t ranked;                // 1 once measured
    uint32_t failed;                // bit i: lane form i gave a wrong result
    uint64_t cost[max_lane_forms];  // best time of one chain-core, form i; 0: not timed
    uint64_t single_cost;           // the same for the single form calls run
} lane_ranking;

extern lane_ranking scrypt_lane_ranking;

// How a group of chunks is mixed: with lane form `form` (null: one chunk,
// with the single form), `chunks` of them at once.
typedef struct lane_plan {
    const lane_form *form;
    unsigned chunks;
} lane_plan;

// The next group of at most `waiting` chunks (at least 1) on a processor
// with `flags`, by `ranking`: the choice that spends the least time per
// chunk mixed, a call of a lane form costing its lane count times its
// chain-core cost however few lanes are filled.  Without a ranking, or
// with no lane form usable, one chunk at a time.
lane_plan scrypt_plan_lanes_by(const lane_ranking *ranking, cpu_feature_flags flags,
                               uint64_t waiting);
lane_plan scrypt_plan_lanes(cpu_feature_flags flags, uint64_t waiting);

// The chunks, tables and work area that the lane forms' self-test and
// timing run on (one full group of the widest form, N = 4, r = 1: small, so
// that both together add well under a tenth of a millisecond to the first
// call), and the
// table and scratch chunk of a single-form run beside them.  Used only by
// the self-test, once per process; the data are fixed, nothing secret.
enum : unsigned { lane_sample_N = 4, lane_sample_r = 1, lane_sample_words = 32 * lane_sample_r };
typedef struct lane_sample_area {
    alignas(64) uint32_t chunks[max_mix_lanes][lane_sample_words];
    alignas(64) uint32_t tables[max_mix_lanes][lane_sample_N * lane_sample_words];
    alignas(64) uint32_t work[2 * max_mix_lanes * lane_sample_words];
    alignas(64) uint32_t single_chunk[lane_sample_words];
    alignas(64) uint32_t single_scratch[lane_sample_words];
    alignas(64) uint32_t single_table[lane_sample_N * lane_sample_words];
    // The self-test's portable results, chunk and table of each lane, made
    // once for all lane forms; bit l of reference_made: lane l's are made.
    alignas(64) uint32_t reference[max_mix_lanes][lane_sample_words];
    alignas(64) uint32_t reference_tables[max_mix_lanes][lane_sample_N * lane_sample_words];
    uint32_t reference_made;
} lane_sample_area;
extern lane_sample_area scrypt_lane_sample;

// Fills the sample chunks with fixed data, a different chunk in each lane:
// word w of lane l is scrypt_lane_sample_word(l, w).
uint32_t scrypt_lane_sample_word(unsigned lane, unsigned w);
void scrypt_fill_lane_sample(void);
// Runs `form` on the first `count` sample chunks and their tables.
void scrypt_run_lane_sample(const lane_form *form, unsigned count);

// Times the lane forms in `candidates` and the single form `single` on
// the same small ROMix workload, per chain-core, into scrypt_lane_ranking
// (whose `failed` it leaves as it is).  Allocates nothing; a few tens of
// microseconds.
void scrypt_rank_lane_forms(uint32_t candidates, const mix_form *single);

SCRYPT_PRIVATE_END

#ifdef __cplusplus
// Samples taken of each form; the best one counts.
constexpr unsigned form_samples = 7;

// The timing loop over any source of samples, so that tests can rank with
// made-up timings.  `Timer` provides
//   uint64_t sample(unsigned form);   // time of one run of the workload
// The forms take turns, one sample each per round, so that they share the
// clock's ramp-up and any interruption equally.
// Samples taken of each lane form: their speeds differ by whole factors,
// and where two come close either choice costs about the same.
constexpr unsigned lane_samples = 3;

// The best of `samples` samples of each candidate i (bit i) into best[i].
template <class Timer, unsigned M>
void scrypt_best_samples(Timer &timer, uint32_t candidates, uint64_t (&best)[M],
                         unsigned samples = form_samples) {
    for (unsigned round = 0; round < samples; round++)
        for (unsigned i = 0; i < M; i++) {
            if (!(candidates >> i & 1)) continue;
            const uint64_t t = timer.sample(i);
            if (round == 0 || t < best[i]) best[i] = t;
        }
    // A form that measured 0 (a clock too coarse for the workload) still
    // needs a cost that ranks it: 1 tick.
    for (unsigned i = 0; i < M; i++)
        if ((candidates >> i & 1) && best[i] == 0) best[i] = 1;
}

template <class Timer>
void scrypt_rank_forms_with(Timer &timer, uint32_t candidates, form_ranking *ranking) {
    uint64_t best[max_mix_forms] = {0};
    scrypt_best_samples(timer, candidates, best);
    scrypt_order_forms(ranking, candidates, best);
}

// The lane forms' timing over any source of samples.  `Timer` provides
//   uint64_t sample(unsigned i);  // one run of the workload: lane form i
//                                 // on a full group, or with i equal to
//                                 // scrypt_lane_form_count the single form
//                                 // on one chunk
// and the costs are per chain (sample / chunks mixed), in units of
// 1/max_mix_lanes of a sample's time so that they stay whole.
template <class Timer>
void scrypt_rank_lane_forms_with(Timer &timer, uint32_t candidates, lane_ranking *ranking) {
    uint64_t best[max_lane_forms + 1] = {0};
    const uint32_t single_bit = 1u << scrypt_lane_form_count;
    scrypt_best_samples(timer, (candidates & (single_bit - 1)) | single_bit, best, lane_samples);
    for (unsigned i = 0; i < max_lane_forms; i++)
        ranking->cost[i] = i < scrypt_lane_form_count && (candidates >> i & 1)
                               ? best[i] * (max_mix_lanes / scrypt_lane_forms[i].lanes)
                               : 0;
    ranking->single_cost = best[scrypt_lane_form_count] * max_mix_lanes;
    ranking->ranked = 1;
}
#endif

#endif
