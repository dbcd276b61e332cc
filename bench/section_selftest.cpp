// Section: the first call's extra cost (the self-test), measured in fresh
// processes.
#include <stdio.h>

#include "bench.h"

namespace {

using namespace bench;

// In a fresh process: the first call against a later cold call with the
// same factors, "first_seconds cold_seconds".
int child_selftest(int, char **) {
    uint8_t out[out_len];
    const factor_set f = {3, 0, 0};
    double t = now();
    library_derive(f, out);
    const double first = now() - t;
    library_derive(other_than(f), out);
    t = now();
    library_derive(f, out);
    const double cold = now() - t;
    printf("%.9f %.9f\n", first, cold);
    return 0;
}

void section_selftest() {
    const int children = 15;
    std::vector<double> first, cold, extra;
    for (int i = 0; i < children; i++) {
        const std::string text = run_child({"selftest"});
        double a, b;
        if (sscanf(text.c_str(), "%lf %lf", &a, &b) != 2) continue;
        first.push_back(a), cold.push_back(b), extra.push_back(a - b);
    }
    if (first.empty()) {
        printf("   could not run the child processes\n\n");
        return;
    }
    const double e = median(extra);
    printf("   first call (3,0,0), self-test included   %10s\n", fmt_time(median(first)).c_str());
    printf("   later cold call (3,0,0)                  %10s\n", fmt_time(median(cold)).c_str());
    printf("   extra cost of the first call             %10s   goal <= 30 ms: %s\n",
           fmt_time(e).c_str(), e <= 0.030 ? "met" : "MISSED");
    printf("   (medians over %zu processes)\n\n", first.size());
}

}  // namespace

BENCH_CHILD("selftest", child_selftest)
BENCH_SECTION(30, "selftest", "First call of a process: the self-test's cost (fresh processes)",
              section_selftest)
