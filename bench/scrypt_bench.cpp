// scrypt_bench: the library's figures in one run, as readable tables.  Each
// section lives in a file of its own (section_*.cpp) and joins the run
// through the registry in bench.h; today they are, in order:
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
// Fresh processes are this program run again with a hidden first argument
// ("--child <mode> ..."); they print one line of figures that the parent
// reads.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench.h"
#include "front/cpu.h"
#include "mix/dispatch.h"

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

std::string cpu_model() {
    FILE *f = fopen("/proc/cpuinfo", "r");
    if (!f) return "unknown";
    char line[512];
    std::string model = "unknown";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "model name", 10) == 0) {
            const char *c = strchr(line, ':');
            if (c) model = c + 2;
            break;
        }
    }
    fclose(f);
    while (!model.empty() && model.back() == '\n') model.pop_back();
    return model;
}

int child_main(int argc, char **argv) {
    const child_mode *c = argc >= 3 ? find_child_mode(argv[2]) : nullptr;
    if (!c) {
        fprintf(stderr, "scrypt_bench: unknown child mode\n");
        return 2;
    }
    return c->run(argc - 3, argv + 3);
}

void header() {
    const cpu_feature_flags flags = detect_cpu();
    printf("scrypt-vornik benchmark\n");
    printf("   processor: %s, %ld online\n", cpu_model().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    printf("   forms runnable:");
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (scrypt_form_runs(&scrypt_mix_forms[i], flags)) printf(" %s", scrypt_mix_forms[i].name);
    printf("; selected: %s\n", scrypt_select_form(flags)->name);
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
    fflush(stdout);
}

int usage(const std::vector<const section *> &all) {
    fprintf(stderr, "usage: scrypt_bench [section ...]\n  sections, by number or name:");
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
    std::vector<bool> run(all.size(), argc < 2);
    for (int i = 1; i < argc; i++) {
        size_t k = 0;
        while (k < all.size() && strcmp(argv[i], all[k]->name) != 0 &&
               std::to_string(k + 1) != argv[i])
            k++;
        if (k == all.size()) return usage(all);
        run[k] = true;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    header();
    for (size_t k = 0; k < all.size(); k++) {
        if (!run[k]) continue;
        printf("%zu. %s\n\n", k + 1, all[k]->title);
        all[k]->run();
    }
    return 0;
}
