// The library's choice of mixing form is private; the program reads it from
// the library's own objects (it links them, as the benchmark does), and
// exports nothing.
#include "info.h"

#include <stdint.h>

#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "processor_id.h"
#include "scrypt-vornik.h"

namespace {

void print_features(FILE *out, cpu_feature_flags flags) {
    static const struct {
        cpu_feature_flags bit;
        const char *name;
    } names[] = {{FEATURE_SSE2, "sse2"}, {FEATURE_SSE3, "sse3"},    {FEATURE_SSSE3, "ssse3"},
                 {FEATURE_SSE4, "sse4"}, {FEATURE_AVX, "avx"},      {FEATURE_AVX2, "avx2"},
                 {FEATURE_XOP, "xop"},   {FEATURE_AVX512, "avx512"}};
    fprintf(out, "features:");
    bool any = false;
    for (auto &n : names)
        if (flags & n.bit) {
            fprintf(out, " %s", n.name);
            any = true;
        }
    fprintf(out, "%s\n", any ? "" : " none the library uses");
}

}  // namespace

int print_info(FILE *out) {
    // The first derivation runs the self-test, which checks and ranks the
    // forms: a derivation of nothing with the smallest parameters.
    const int status = scrypt_derive_key(nullptr, 0, nullptr, 0, 2, 1, 1, nullptr, 0);

    fprintf(out, "scrypt-vornik %s\n", SCRYPT_VORNIK_VERSION_STRING);
    const processor_id cpu = identify_processor();
    fprintf(out, "processor: %s\n", cpu.label().c_str());
    const cpu_feature_flags flags = detect_cpu();
    print_features(out, flags);
    fprintf(out, "self-test: %s\n", status == SCRYPT_OK ? "passed" : scrypt_strerror(status));
    fprintf(out, "mixing form in use: %s\n", scrypt_select_form(flags)->name);

    const form_ranking &rk = scrypt_form_ranking;
    if (rk.ranked) {
        const uint64_t best = rk.count ? rk.cost[rk.order[0]] : 0;
        fprintf(out, "ranking (the self-test's timing, fastest first):");
        for (unsigned k = 0; k < rk.count; k++) {
            const unsigned i = rk.order[k];
            fprintf(out, "%s %s %.2f", k ? "," : "", scrypt_mix_forms[i].name,
                    best ? double(rk.cost[i]) / double(best) : 0.0);
        }
        fprintf(out, "\n");
    } else {
        fprintf(out, "ranking: none (table order)\n");
    }
    fprintf(out, "forms that failed their known answer:");
    bool any_failed = false;
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (rk.failed >> i & 1) {
            fprintf(out, " %s", scrypt_mix_forms[i].name);
            any_failed = true;
        }
    fprintf(out, "%s\n", any_failed ? "" : " none");

    fprintf(out, "lane forms (several chunks at once, for batches and p > 1):");
    const lane_ranking &lr = scrypt_lane_ranking;
    bool any_lanes = false;
    for (unsigned i = 0; i < scrypt_lane_form_count; i++) {
        const lane_form &f = scrypt_lane_forms[i];
        if (!scrypt_lane_form_runs(&f, flags)) continue;
        fprintf(out, "%s %s (%u lanes", any_lanes ? "," : "", f.name, f.lanes);
        if (lr.failed >> i & 1)
            fprintf(out, ", failed");
        else if (lr.ranked && lr.cost[i] && lr.single_cost)
            fprintf(out, ", %.2f of the single form's time per chunk",
                    double(lr.cost[i]) / double(lr.single_cost));
        fprintf(out, ")");
        any_lanes = true;
    }
    fprintf(out, "%s\n", any_lanes ? "" : " none on this processor");
    return status;
}
