// Section: the lane forms, ns per chain-core of ROMix against the single
// forms' ROMix and the scalar latency floor of a bare core: a table that
// stays in the caches (N = 32, r = 8) and one that does not (N = 2^14,
// r = 8), each lane with its own table.
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "bench.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "mix/mix.h"
#include "selftest/selftest.h"

namespace {

using namespace bench;

// What one sample runs: a lane form on a full group, or a single form on
// one chunk.
struct contender {
    std::string name;
    const lane_form *lanes;  // null: `single`
    const mix_form *single;
    unsigned chains() const { return lanes ? lanes->lanes : 1; }
};

struct workload {
    uint32_t N, r;
    std::vector<uint32_t *> x, v;
    uint32_t *work, *y;
    workload(uint32_t N_, uint32_t r_) : N(N_), r(r_) {
        const size_t chunk = 128 * size_t(r);
        for (unsigned l = 0; l < max_mix_lanes; l++) {
            x.push_back(aligned_words(chunk));
            v.push_back(table_words(chunk * N));
            fill_random(x.back(), chunk / 4, 11 + l);
        }
        work = aligned_words(2 * chunk * max_mix_lanes);
        y = aligned_words(chunk);
    }
    ~workload() {
        for (uint32_t *p : x) free(p);
        for (uint32_t *p : v) free(p);
        free(work), free(y);
    }
    // ns per chain-core of one run.
    double sample(const contender &c) {
        const double t0 = now();
        if (c.lanes)
            c.lanes->romix(x.data(), v.data(), work, c.lanes->lanes, N, r);
        else
            c.single->romix(x[0], y, v[0], N, r);
        return (now() - t0) / (4.0 * N * r * c.chains()) * 1e9;
    }
};

void section_lanes() {
    const cpu_feature_flags flags = detect_cpu();
    std::vector<contender> all;
    for (unsigned i = 0; i < scrypt_lane_form_count; i++)
        if (scrypt_lane_form_runs(&scrypt_lane_forms[i], flags))
            all.push_back({std::string("lanes ") + scrypt_lane_forms[i].name + " (" +
                               std::to_string(scrypt_lane_forms[i].lanes) + " chains)",
                           &scrypt_lane_forms[i], nullptr});
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (scrypt_form_runs(&scrypt_mix_forms[i], flags))
            all.push_back({std::string("single ") + scrypt_mix_forms[i].name + " (1 chain)",
                           nullptr, &scrypt_mix_forms[i]});

    alignas(64) uint32_t block[16];
    fill_random(block, 16, 7);
    const struct {
        uint32_t N, r;
        int reps;
    } loads[] = {{32, 8, 41}, {1u << 14, 8, 5}};
    std::vector<std::vector<double>> t(2 * all.size());
    std::vector<double> floor_t;
    for (unsigned w = 0; w < 2; w++) {
        workload wl(loads[w].N, loads[w].r);
        for (const contender &c : all) wl.sample(c);  // warm-up
        for (int rep = 0; rep < loads[w].reps; rep++) {
            floor_t.push_back(floor_core_ns(block));
            for (size_t i = 0; i < all.size(); i++)
                t[w * all.size() + i].push_back(wl.sample(all[i]));
        }
    }
    const double floor_ns = median(floor_t);
    // The AVX-512 lane form against its own floor, sampled side by side.
    double lanes_floor = 0, lanes_form = 0;
#if defined(__x86_64__)
    if (flags & FEATURE_AVX512) {
        alignas(64) uint32_t blocks[256];
        fill_random(blocks, 256, 9);
        workload wl(loads[0].N, loads[0].r);
        const contender *form = nullptr;
        for (const contender &c : all)
            if (c.lanes && std::string(c.lanes->name) == "avx512") form = &c;
        std::vector<double> f, l;
        for (int rep = 0; form && rep < 41; rep++) {
            f.push_back(lanes_floor_ns_avx512(blocks));
            l.push_back(wl.sample(*form));
        }
        if (form) lanes_floor = median(f), lanes_form = median(l);
    }
#endif
    printf("   %-30s %14s %9s %14s %9s\n", "form", "N=32 ns/core", "vs floor", "N=2^14 ns/core",
           "vs floor");
    printf("   %-30s %14.2f %9.2f %14s %9s\n", "scalar latency floor", floor_ns, 1.0, "", "");
    FILE *csv = csv_file("lanes.csv", "form,chains,ns_per_chain_core_n32,ns_per_chain_core_n16384");
    for (size_t i = 0; i < all.size(); i++) {
        const double a = median(t[i]), b = median(t[all.size() + i]);
        printf("   %-30s %14.2f %9.2f %14.2f %9.2f\n", all[i].name.c_str(), a, floor_ns / a, b,
               floor_ns / b);
        if (csv) fprintf(csv, "%s,%u,%.3f,%.3f\n", all[i].name.c_str(), all[i].chains(), a, b);
    }
    if (csv) fclose(csv);
    if (lanes_floor > 0) {
        // In cycles too, where one cycle was measured.
        const double cycle = scalar_add_latency_ns;
        char form_cycles[32] = "", floor_cycles[32] = "";
        if (cycle > 0) {
            snprintf(form_cycles, sizeof form_cycles, " (%.1f cycles)", lanes_form / cycle);
            snprintf(floor_cycles, sizeof floor_cycles, " (%.1f cycles)", lanes_floor / cycle);
        }
        printf(
            "\n   lanes avx512 in cache (N = %u): %.2f ns per chain-core%s, %.2fx its floor,\n"
            "   sixteen cores kept in registers: %.2f ns%s; sampled side by side\n",
            loads[0].N, lanes_form, form_cycles, lanes_form / lanes_floor, lanes_floor,
            floor_cycles);
    }
    const lane_ranking &rk = scrypt_lane_ranking;
    if (rk.ranked) {
        printf("\n   the first call's lane timing (TSC ticks per 16 chains of N = %u, r = %u):\n",
               lane_sample_N, lane_sample_r);
        for (unsigned i = 0; i < scrypt_lane_form_count; i++)
            if (rk.cost[i])
                printf("     lanes %-8s %10llu%s\n", scrypt_lane_forms[i].name,
                       (unsigned long long)rk.cost[i], rk.failed >> i & 1 ? " (failed)" : "");
        printf("     single %-7s %10llu\n", scrypt_select_form(flags)->name,
               (unsigned long long)rk.single_cost);
    }
    // What the lane forms add to the first call: their check and their
    // timing, run again here (the ranking they made is put back after).
    {
        const lane_ranking kept = scrypt_lane_ranking;
        uint32_t candidates = 0;
        for (unsigned i = 0; i < scrypt_lane_form_count; i++)
            if (scrypt_lane_form_runs(&scrypt_lane_forms[i], flags)) candidates |= 1u << i;
        std::vector<double> check_t, rank_t;
        for (int rep = 0; rep < 9; rep++) {
            scrypt_lane_sample.reference_made = 0;  // as in a first call
            double t0 = now();
            scrypt_test_lane_forms(candidates);
            check_t.push_back(now() - t0);
            t0 = now();
            scrypt_rank_lane_forms(candidates, scrypt_select_form(flags));
            rank_t.push_back(now() - t0);
        }
        scrypt_lane_ranking = kept;
        printf("\n   added to the first call: lane forms' check %s, their timing %s\n",
               fmt_time(median(check_t)).c_str(), fmt_time(median(rank_t)).c_str());
    }
    printf(
        "\n   ns/core: ROMix time over 4*N*r cores per chain; a lane form runs its full group,\n"
        "   each chain with its own table (transposes and table reads included).  vs floor:\n"
        "   how many times the scalar floor's rate.  Medians of interleaved samples.\n\n");
}

}  // namespace

BENCH_SECTION(15, "lanes", "Lane forms (ROMix, several chains per call, ns per chain-core)",
              section_lanes)
