// Which mixing form a call runs.
//
// The library carries up to five forms of the mix (XOP, AVX-512, AVX, SSE2
// and the portable one), all giving the same results.  Which one is fastest depends
// on the microarchitecture, and no feature bit tells: on some processors the
// vector forms beat scalar code, on others a dependent vector integer
// operation costs twice a scalar one and the portable form wins.  So the
// first call's self-test, right after it has checked every form against its
// known answer, times each form that passed on a small ChunkMix workload and
// ranks them.  Every call then runs the best-ranked form that the features
// detected for it allow.  Before the ranking exists the table's order
// (XOP, AVX-512, AVX, SSE2, portable) stands in for it, and a form that failed its
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

enum : unsigned { max_mix_forms = 5 };

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

SCRYPT_PRIVATE_END

#ifdef __cplusplus
// Samples taken of each form; the best one counts.
constexpr unsigned form_samples = 7;

// The timing loop over any source of samples, so that tests can rank with
// made-up timings.  `Timer` provides
//   uint64_t sample(unsigned form);   // time of one run of the workload
// The forms take turns, one sample each per round, so that they share the
// clock's ramp-up and any interruption equally.
template <class Timer>
void scrypt_rank_forms_with(Timer &timer, uint32_t candidates, form_ranking *ranking) {
    uint64_t best[max_mix_forms] = {0};
    for (unsigned round = 0; round < form_samples; round++)
        for (unsigned i = 0; i < max_mix_forms; i++) {
            if (!(candidates >> i & 1)) continue;
            const uint64_t t = timer.sample(i);
            if (round == 0 || t < best[i]) best[i] = t;
        }
    // A form that measured 0 (a clock too coarse for the workload) still
    // needs a cost that ranks it: 1 tick.
    for (unsigned i = 0; i < max_mix_forms; i++)
        if ((candidates >> i & 1) && best[i] == 0) best[i] = 1;
    scrypt_order_forms(ranking, candidates, best);
}
#endif

#endif
