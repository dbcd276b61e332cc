// wipe_bench: what the wipe at the end of every derivation costs, measured
// A/B in one run: the same derivation with the wipe switched off and on,
// interleaved, steady (buffers reused); and, beside it, what the clearing at
// the end of every call (hash state, stack, registers) adds to that.
//
// The shipped library always wipes; this program is built against the
// test-only objects (scrypt-vornik-seams), whose wipe can be switched off,
// and is otherwise the same code.  scrypt_bench runs it as its "wipe"
// section; it also runs alone.
#include <stdio.h>

#include "bench.h"
#include "core/derive.h"
#include "hash/hash.h"

namespace {

using namespace bench;

struct goal {
    factor_set f;
    double limit;  // largest acceptable extra time, as a fraction
    int rounds;
};

const goal goals[] = {
    {{13, 3, 0}, 0.03, 61},
    {{16, 3, 0}, 0.03, 15},
    {{19, 3, 0}, 0.05, 5},
};

// One steady derivation with the wipe as asked.  The timed call follows an
// untimed one of the same kind, so it starts from the caches and the table
// that its own kind leaves behind.
double derive(const factor_set &f, bool wipe, bool clear = true) {
    uint8_t out[out_len];
    scrypt_wipe_work_buffers = wipe;
    scrypt_clear_call_traces = clear;
    library_derive(f, out);
    const double t0 = now();
    library_derive(f, out);
    return now() - t0;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("   %-11s %10s %-9s %6s %12s %12s %8s  %-13s %9s\n", "(N,r,p)f", "table", "fill",
           "rounds", "wipe off", "wipe on", "cost", "goal", "clearing");
    for (const goal &g : goals) {
        const factor_set &f = g.f;
        const double table = double(f.N()) * 128 * f.r();
        std::vector<double> off, on, unclear;
        for (int round = 0; round < g.rounds; round++) {
            // Each round all three ways, in rotating order.
            for (int k = 0; k < 3; k++) switch ((round + k) % 3) {
                    case 0:
                        off.push_back(derive(f, false));
                        break;
                    case 1:
                        on.push_back(derive(f, true));
                        break;
                    case 2:
                        unclear.push_back(derive(f, true, false));
                        break;
                }
        }
        const double a = median(off), b = median(on), cost = b / a - 1;
        const double clearing = b / median(unclear) - 1;
        char label[32], limit[16];
        snprintf(label, sizeof label, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        snprintf(limit, sizeof limit, "<= %.0f %%", g.limit * 100);
        printf("   %-11s %10s %-9s %6d %12s %12s %+7.2f%%  %s %-6s %+8.2f%%\n", label,
               fmt_bytes(table).c_str(),
               table >= double(SCRYPT_WIPE_STREAMING_BYTES) ? "streaming" : "memset", g.rounds,
               fmt_time(a).c_str(), fmt_time(b).c_str(), cost * 100, limit,
               cost <= g.limit ? "met" : "MISSED", clearing * 100);
    }
    printf(
        "\n   Medians of interleaved rounds, thread CPU time; each timed derivation follows an\n"
        "   untimed one with the wipe set the same way.  fill: how the table is zeroed\n"
        "   (streaming stores from %s on).  clearing: what the end of every call adds\n"
        "   (hash state, stack, registers), on against off, with the wipe on.  The\n"
        "   shipped library always wipes and clears; this\n"
        "   program uses the test-only build, where the wipe can be switched off.\n\n",
        fmt_bytes(double(SCRYPT_WIPE_STREAMING_BYTES)).c_str());
    return 0;
}
