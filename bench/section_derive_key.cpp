// Sections: scrypt_derive_key() against scrypt() on the same parameters, one
// thread, interleaved; and the throughput of two threads deriving at once
// against one, for the library's two entry points and for OpenSSL.
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <thread>

#include "bench.h"
#include "scrypt-vornik.h"

#if SCRYPT_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using namespace bench;

void derive_key(const factor_set &f, uint8_t *out) {
    scrypt_derive_key(password, password_len, salt, salt_len, f.N(), f.r(), f.p(), out, out_len);
}

// Median time of one call of each entry point, steady (each holds its
// buffers), in alternating batches.
void section_derive_key() {
    printf("   processor: %s\n", identify_processor().label().c_str());
    printf("   %-12s %12s %12s %10s\n", "factors", "scrypt()", "derive_key", "ratio");
    const struct {
        factor_set f;
        int calls, rounds;
    } cases[] = {{{9, 3, 4}, 4, 15}, {{13, 3, 0}, 2, 15}, {{16, 3, 0}, 1, 7}};
    for (const auto &c : cases) {
        uint8_t out[out_len];
        library_derive(c.f, out);  // buffers in place, self-test done
        derive_key(c.f, out);
        std::vector<double> old_api, new_api;
        for (int round = 0; round < c.rounds; round++) {
            double t = now();
            for (int i = 0; i < c.calls; i++) library_derive(c.f, out);
            old_api.push_back((now() - t) / c.calls);
            t = now();
            for (int i = 0; i < c.calls; i++) derive_key(c.f, out);
            new_api.push_back((now() - t) / c.calls);
        }
        const double a = median(old_api), b = median(new_api);
        char name[32];
        snprintf(name, sizeof name, "(%u,%u,%u)", c.f.Nfactor, c.f.rfactor, c.f.pfactor);
        printf("   %-12s %12s %12s %9.3fx\n", name, fmt_time(a).c_str(), fmt_time(b).c_str(),
               b / a);
    }
    printf(
        "   (medians of interleaved batches, thread CPU time; ratio: derive_key over "
        "scrypt())\n\n");
}

double wall() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// Wall time of `total` derivations split evenly over `threads` threads.
double split_over(unsigned threads, unsigned total, void (*one)(const factor_set &, uint8_t *),
                  const factor_set &f) {
    std::vector<std::thread> pool;
    const double t = wall();
    for (unsigned k = 0; k < threads; k++)
        pool.emplace_back([&, k] {
            uint8_t out[out_len];
            for (unsigned i = k; i < total; i += threads) one(f, out);
        });
    for (auto &th : pool) th.join();
    return wall() - t;
}

#if SCRYPT_BENCH_OPENSSL
void openssl_derive(const factor_set &f, uint8_t *out) {
    EVP_PBE_scrypt((const char *)password, password_len, salt, salt_len, f.N(), f.r(), f.p(),
                   uint64_t(1) << 40, out, out_len);
}
#endif

// The kernel's load averages (1, 5 and 15 minutes): other processes on the
// cores take their share of the second thread's.
std::string load_average() {
    FILE *f = fopen("/proc/loadavg", "r");
    char buf[64] = "";
    if (f) {
        if (!fgets(buf, sizeof buf, f)) buf[0] = 0;
        fclose(f);
    }
    std::string s(buf);
    const size_t third = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return third == std::string::npos ? "unknown" : s.substr(0, third);
}

void section_threads() {
    const factor_set f = {13, 3, 0};
    constexpr unsigned total = 24, rounds = 5;
    printf("   processor: %s, %u hardware threads\n", identify_processor().label().c_str(),
           std::thread::hardware_concurrency());
    printf(
        "   %u derivations at (13,3,0) on 1 thread, then split over 2, in %u interleaved rounds\n",
        total, rounds);
    printf("   %-20s %10s %10s %8s %8s %8s\n", "", "1 thread", "2 threads", "ratio", "best",
           "worst");
    const struct {
        const char *name;
        void (*one)(const factor_set &, uint8_t *);
    } contenders[] = {
        {"scrypt_derive_key()", derive_key},
        {"scrypt()", library_derive},
#if SCRYPT_BENCH_OPENSSL
        {"OpenSSL", openssl_derive},
#endif
    };
    for (const auto &c : contenders) {
        // Each thread's buffers in place before the clock runs: a thread of
        // the pool is new, so its first call allocates; one warm-up split
        // lets the allocator's arenas settle.
        split_over(2, 2, c.one, f);
        std::vector<double> one, two, ratio;
        for (unsigned round = 0; round < rounds; round++) {
            one.push_back(split_over(1, total, c.one, f));
            two.push_back(split_over(2, total, c.one, f));
            ratio.push_back(one.back() / two.back());
        }
        printf("   %-20s %10s %10s %7.2fx %7.2fx %7.2fx\n", c.name, fmt_time(median(one)).c_str(),
               fmt_time(median(two)).c_str(), median(ratio),
               *std::max_element(ratio.begin(), ratio.end()),
               *std::min_element(ratio.begin(), ratio.end()));
    }
    printf(
        "   (wall times, medians; ratio: throughput of 2 threads over 1, the median, best and\n"
        "   worst of the rounds; another process's load on the cores lowers it: load average\n"
        "   %s as the section ended)\n\n",
        load_average().c_str());
}

}  // namespace

BENCH_SECTION(25, "derive_key", "scrypt_derive_key() against scrypt(), interleaved",
              section_derive_key)
BENCH_SECTION(27, "threads", "Two threads deriving at once against one", section_threads)
