// Section: what the library's lock costs a call that meets no other thread.
// The lock is taken and released once per scrypt() call; here it is timed
// alone, and a whole call is timed against the same work without it.
#include <stdio.h>

#include "api/lock.h"
#include "bench.h"
#include "core/cache.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"

namespace {

using namespace bench;

// Median time of one scrypt_lock() + scrypt_unlock() pair.
double lock_pair_seconds() {
    constexpr int pairs = 1000000;
    std::vector<double> each;
    for (int round = 0; round < 9; round++) {
        const double t = now();
        for (int i = 0; i < pairs; i++) {
            scrypt_lock();
            scrypt_unlock();
        }
        each.push_back((now() - t) / pairs);
    }
    return median(each);
}

// What scrypt() does after its first call, less the lock.
void unlocked_derive(const factor_set &f, uint8_t *out) {
    const cpu_feature_flags flags = detect_cpu();
    scrypt_derive_cached(&scrypt_shared_cache, password, password_len, salt, salt_len, f.N(), f.r(),
                         f.p(), out, out_len, scrypt_select_form(flags)->romix);
}

// Median time of one call, locked and unlocked, in alternating batches.
void time_calls(const factor_set &f, int calls, double &locked, double &unlocked) {
    uint8_t out[out_len];
    library_derive(f, out);  // buffers in place, self-test done
    std::vector<double> with, without;
    for (int round = 0; round < 15; round++) {
        double t = now();
        for (int i = 0; i < calls; i++) library_derive(f, out);
        with.push_back((now() - t) / calls);
        t = now();
        for (int i = 0; i < calls; i++) unlocked_derive(f, out);
        without.push_back((now() - t) / calls);
    }
    locked = median(with);
    unlocked = median(without);
}

void section_lock() {
    const double pair = lock_pair_seconds();
    printf("   lock + unlock, no other thread            %7.1f ns\n", pair * 1e9);
    const struct {
        factor_set f;
        int calls;
    } cases[] = {{{0, 0, 0}, 2000}, {{9, 3, 0}, 20}};
    for (const auto &c : cases) {
        double locked, unlocked;
        time_calls(c.f, c.calls, locked, unlocked);
        printf(
            "   call (%u,%u,%u): scrypt() %10s, without the lock %10s;"
            " the lock is %.3f%% of the call\n",
            c.f.Nfactor, c.f.rfactor, c.f.pfactor, fmt_time(locked).c_str(),
            fmt_time(unlocked).c_str(), 100 * pair / locked);
    }
    printf("   (medians; the last figure is the pair's time over scrypt()'s)\n\n");
}

}  // namespace

BENCH_SECTION(35, "lock", "The lock's cost per call, uncontended", section_lock)
