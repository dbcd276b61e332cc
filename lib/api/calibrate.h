// scrypt_calibrate()'s choice of N and p, apart from the clock, so that the
// tests can drive it with made-up timings.
//
// r is 8.  N starts at 2 and doubles while the table (N * 128 * r bytes)
// fits the memory given and the next derivation, estimated at twice the last
// one's time (a derivation's time grows with N, and never faster), stays
// within the time given: the largest N measured within it is the choice.
// Every derivation run is thus estimated to take at most the time given, and
// together they take at most about twice the last one's.  When memory binds
// first, p grows to take up the time: the largest N's time is measured for
// p = 1, p is set to fit calibration_p_aim of the time given (with the work
// space's p chunks within the memory given too), and one run with that p, if
// the budget holds it, scales p to what that run took.  The margin below the
// time keeps a later derivation within it when this machine's timings vary
// from run to run: p is set by the clock, not by a doubling that errs low as
// N is.
#ifndef SCRYPT_VORNIK_CALIBRATE_H
#define SCRYPT_VORNIK_CALIBRATE_H

#include <stdint.h>

#include "internal.h"
#include "scrypt-vornik.h"

SCRYPT_PRIVATE_BEGIN

typedef struct calibration {
    uint64_t N;
    uint32_t r, p;
} calibration;

enum : uint32_t { calibration_r = 8 };
// The smallest table scrypt_calibrate() accepts a limit for: N = 2, r = 8.
enum : uint64_t { calibration_min_memory = 2 * 128 * calibration_r };

SCRYPT_PRIVATE_END

#ifdef __cplusplus
// The share of the time given that p is set to take when memory binds.
constexpr double calibration_p_aim = 0.85;

// The choice over any source of timings.  `Measure` provides
//   int run(uint64_t N, uint32_t p, double *seconds);
// which derives one key with N, r = 8 and p, sets *seconds to the time it
// took and returns SCRYPT_OK, or returns the failure's status.  Returns
// SCRYPT_OK with *out set, SCRYPT_ERR_PARAMETER for a time that is not a
// positive finite number or a memory below calibration_min_memory, or the
// first failure of `measure` (*out then untouched).
template <class Measure>
int scrypt_calibrate_with(Measure &measure, double seconds, uint64_t max_memory, calibration *out) {
    // Written so that a NaN fails the test.
    if (!(seconds > 0 && seconds <= 1e9)) return SCRYPT_ERR_PARAMETER;
    if (max_memory < calibration_min_memory) return SCRYPT_ERR_PARAMETER;
    const uint64_t chunk = 128 * calibration_r;
    uint64_t max_N = uint64_t(1) << 31;
    while (max_N * chunk > max_memory) max_N >>= 1;

    // Grow N while the next one is estimated to fit the time.
    uint64_t N = 2;
    double t = 0;
    int status = measure.run(N, 1, &t);
    if (status != SCRYPT_OK) return status;
    uint64_t chosen_N = N;  // N = 2 when even that exceeds the time
    double chosen_t = t;
    while (N < max_N && 2 * t <= seconds) {
        N *= 2;
        status = measure.run(N, 1, &t);
        if (status != SCRYPT_OK) return status;
        // A run over the time (the estimate missed, or the clock was
        // disturbed) leaves the choice at the N before.
        if (t <= seconds) chosen_N = N, chosen_t = t;
    }

    // Memory binds: the time left over goes to p, within r * p < 2^30 and
    // with the work space's p chunks (p * 128 * r bytes) within the memory
    // given as well.
    uint32_t p = 1;
    if (chosen_N == max_N && chosen_t > 0 && 2 * chosen_t <= seconds) {
        uint64_t max_p = ((uint64_t(1) << 30) - 1) / calibration_r;
        if (max_memory / chunk < max_p) max_p = max_memory / chunk;
        const double aim = calibration_p_aim * seconds;
        const double fit = aim / chosen_t;
        p = fit < double(max_p) ? uint32_t(fit) : uint32_t(max_p);
        // One run with this p, when it fits what is left of the budget of
        // twice the time, corrects p either way: the estimate from p = 1
        // counts the call's fixed costs p times over, and a derivation's
        // cost is not quite linear in p.  Scaled by the larger run, whose
        // fixed share is small, p errs low if anything.
        double t_p = 0;
        if (p > 1 && p * chosen_t <= seconds) {
            status = measure.run(chosen_N, p, &t_p);
            if (status != SCRYPT_OK) return status;
            if (t_p > 0) {
                const double scaled = double(p) * aim / t_p;
                p = scaled < 1 ? 1 : scaled < double(max_p) ? uint32_t(scaled) : uint32_t(max_p);
            }
        }
    }
    out->N = chosen_N;
    out->r = calibration_r;
    out->p = p;
    return SCRYPT_OK;
}
#endif

#endif
