// scrypt_bench: the library's figures in one run, as readable tables.
//
// A header names the processor (the kernel's name and CPUID's vendor, family,
// model and stepping), the dependent latency of a scalar and of a vector
// (SSE2) integer addition, the ranking of the mixing forms that the library's
// first call made, and the form it runs here.  Then come the sections, each in
// a file of its own (section_*.cpp) that joins the run through the registry in
// bench.h; today they are, in order:
//
//   forms        every mixing form the processor runs against the scalar
//                latency floor of a bare Salsa20/8 core, and ROMix;
//   derivations  whole derivations for six factor sets, the library steady
//                and cold, beside OpenSSL, libsodium and libscrypt-kdf;
//   selftest     the first call's extra cost (the self-test), in fresh
//                processes;
//   memory       peak memory of a derivation beside its floor, in fresh
//                processes;
//   hexlines     the hexlines benchmark (a separate program).
//
// `--csv DIR` also writes the figures as CSV files into DIR: processor.txt
// (the processor's label), forms.csv (ns per core and ROMix time of the floor
// and of each form) and derivations.csv (ms per derivation of the library and
// each peer, per factor set).  bench/chart.gp draws them.
//
// Fresh processes are this program run again with a hidden first argument
// ("--child <mode> ..."); they print one line of figures that the parent
// reads.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"

#if SCRYPT_BENCH_SODIUM
#include <sodium.h>
#endif

namespace {

using namespace bench;

std::string read_text(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) return "";
    char buf[256];
    std::string s;
    if (fgets(buf, sizeof buf, f)) s = buf;
    fclose(f);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

int child_main(int argc, char **argv) {
    const child_mode *c = argc >= 3 ? find_child_mode(argv[2]) : nullptr;
    if (!c) {
        fprintf(stderr, "scrypt_bench: unknown child mode\n");
        return 2;
    }
    return c->run(argc - 3, argv + 3);
}

// The ranking that the library's first call made, and the form it runs here.
void print_ranking(cpu_feature_flags flags) {
    const form_ranking &rk = scrypt_form_ranking;
    if (!rk.ranked) {
        printf("   ranking: none made (the first call did not rank the forms)\n");
    } else {
        const uint64_t best = rk.count ? rk.cost[rk.order[0]] : 0;
        printf(
            "   ranking by the first call (best of %u samples, %s, fastest first):", form_samples,
#if defined(__x86_64__)
            "TSC ticks"
#else
            "ns"
#endif
        );
        for (unsigned k = 0; k < rk.count; k++) {
            const unsigned i = rk.order[k];
            printf("%s %s %llu (%.2f)", k ? "," : "", scrypt_mix_forms[i].name,
                   (unsigned long long)rk.cost[i], best ? double(rk.cost[i]) / double(best) : 0.0);
        }
        printf("\n");
        if (rk.failed) {
            printf("   forms that failed their known answer:");
            for (unsigned i = 0; i < scrypt_mix_form_count; i++)
                if (rk.failed >> i & 1) printf(" %s", scrypt_mix_forms[i].name);
            printf("\n");
        }
    }
    std::string order;
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        order += std::string(i ? ", " : "") + scrypt_mix_forms[i].name;
    printf(
        "   form the library runs here: %s (forms within %u %% of the fastest count as equal,\n"
        "   the order %s breaks ties)\n",
        scrypt_select_form(flags)->name, form_tie_percent, order.c_str());
}

void header() {
    const cpu_feature_flags flags = detect_cpu();
    const processor_id cpu = identify_processor();
    printf("scrypt-vornik benchmark\n");
    printf("   processor: %s, %ld online\n", cpu.name.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    if (cpu.cpuid_known)
        printf("   CPUID: %s, family %u (0x%x), model %u (0x%x), stepping %u\n", cpu.vendor.c_str(),
               cpu.family, cpu.family, cpu.model, cpu.model, cpu.stepping);
    scalar_add_latency_ns = scalar_add_ns();
    const double vector_ns = vector_add_ns();
    if (scalar_add_latency_ns > 0 && vector_ns > 0)
        printf(
            "   dependent add: scalar %.3f ns, vector (SSE2 paddd) %.3f ns; vector/scalar "
            "%.2f\n",
            scalar_add_latency_ns, vector_ns, vector_ns / scalar_add_latency_ns);
    printf("   forms runnable:");
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (scrypt_form_runs(&scrypt_mix_forms[i], flags)) printf(" %s", scrypt_mix_forms[i].name);
    printf("\n");
    // The first call runs the self-test, which ranks the forms.
    uint8_t out[out_len];
    library_derive(factor_set{3, 0, 0}, out);
    print_ranking(flags);
    const std::string thp = read_text("/sys/kernel/mm/transparent_hugepage/enabled");
    printf("   transparent huge pages: %s\n", thp.empty() ? "unknown" : thp.c_str());
    // The driver asks the processor on every call; under a hypervisor CPUID
    // traps, and this is a fixed cost of every derivation.
    std::vector<double> t;
    for (int i = 0; i < 200; i++) {
        const double t0 = now();
        volatile cpu_feature_flags sink = detect_cpu();
        (void)sink;
        t.push_back(now() - t0);
    }
    detect_cpu_seconds = median(t);
    printf("   detect_cpu() (run on every scrypt call): %s\n\n",
           fmt_time(detect_cpu_seconds).c_str());
    if (FILE *f = csv_file("processor.txt", cpu.label().c_str())) fclose(f);
    fflush(stdout);
}

int usage(const std::vector<const section *> &all) {
    fprintf(stderr,
            "usage: scrypt_bench [--csv DIR] [section ...]\n"
            "  --csv DIR  also write the figures as CSV files in DIR (for bench/chart.gp)\n"
            "  sections, by number or name:");
    for (size_t i = 0; i < all.size(); i++) fprintf(stderr, " %zu %s", i + 1, all[i]->name);
    fprintf(stderr, "\n  none runs them all\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "--child") == 0) return child_main(argc, argv);
#if SCRYPT_BENCH_SODIUM
    if (sodium_init() < 0) {
        fprintf(stderr, "scrypt_bench: sodium_init failed\n");
        return 1;
    }
#endif
    // Optional arguments name the sections to run, by number or name; none
    // runs all.
    const std::vector<const section *> all = sections();
    std::vector<bool> run(all.size(), false);
    bool any = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--csv") == 0 && i + 1 < argc) {
            csv_dir = argv[++i];
            if (mkdir(csv_dir.c_str(), 0777) != 0 && errno != EEXIST) {
                fprintf(stderr, "scrypt_bench: cannot create %s\n", csv_dir.c_str());
                return 1;
            }
            continue;
        }
        size_t k = 0;
        while (k < all.size() && strcmp(argv[i], all[k]->name) != 0 &&
               std::to_string(k + 1) != argv[i])
            k++;
        if (k == all.size()) return usage(all);
        run[k] = any = true;
    }
    if (!any) run.assign(all.size(), true);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    header();
    for (size_t k = 0; k < all.size(); k++) {
        if (!run[k]) continue;
        printf("%zu. %s\n\n", k + 1, all[k]->title);
        all[k]->run();
    }
    return 0;
}
