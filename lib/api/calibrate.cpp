// scrypt_calibrate(): N, r and p for this machine, measured with real
// derivations along scrypt_derive_key()'s own path (the form it runs, the
// calling thread's buffers, allocated afresh for every new N as a first call
// with those parameters has them).
#include "calibrate.h"

#include <time.h>

#include "call.h"
#include "derive_key.h"
#include "post.h"

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One derivation of a fixed password and salt, timed.
struct clock_measure {
    int run(uint64_t N, uint32_t p, double *seconds) {
        static const uint8_t password[] = "scrypt_calibrate", salt[] = "NaCl";
        uint8_t key[32];
        const double t0 = now();
        const int status =
            scrypt_derive_key_in_call(password, sizeof password - 1, salt, sizeof salt - 1, N,
                                      calibration_r, p, key, sizeof key);
        *seconds = now() - t0;
        return status;
    }
};

int calibrate(double seconds, uint64_t max_memory, uint64_t *N, uint32_t *r, uint32_t *p) {
    // The first call's self-test runs before any timing, so that no
    // measurement carries it, and before any parameter is looked at, as in
    // scrypt_derive_key(); its failure is the call's.
    scrypt_entry_setup();
    const int status = scrypt_post_for_derive_key();
    if (status != SCRYPT_OK) return status;
    if (N == nullptr || r == nullptr || p == nullptr) return SCRYPT_ERR_PARAMETER;
    clock_measure measure;
    calibration c;
    const int chosen = scrypt_calibrate_with(measure, seconds, max_memory, &c);
    if (chosen != SCRYPT_OK) return chosen;
    *N = c.N;
    *r = c.r;
    *p = c.p;
    return SCRYPT_OK;
}

}  // namespace

extern "C" SCRYPT_VORNIK_API int scrypt_calibrate(double seconds, uint64_t max_memory, uint64_t *N,
                                                  uint32_t *r, uint32_t *p) {
    // An entry point like scrypt_derive_key(): never cancelled half-way,
    // and it clears the stack and registers it leaves behind.
    scrypt_call call;
    scrypt_call_begin(&call);
    const int status = calibrate(seconds, max_memory, N, r, p);
    scrypt_call_end(&call);
    return status;
}
