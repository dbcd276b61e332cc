// scrypt_bench: the library's figures in one run, as readable tables.
//
//   1. every mixing form the processor runs: ns per Salsa20/8 core inside
//      ChunkMix and the time of one ROMix (N = 2^14, r = 8), beside the
//      scalar latency floor of a bare core;
//   2. whole derivations for six factor sets, the library steady (buffers
//      reused) and cold (buffers allocated and first touched), beside
//      OpenSSL, libsodium and libscrypt-kdf, medians of interleaved rounds;
//   3. the first call's extra cost (the self-test), in fresh processes;
//   4. peak memory of a derivation beside its floor, in fresh processes;
//   5. the hexlines benchmark (a separate program, run at the end).
//
// Fresh processes are this program run again with a hidden first argument
// ("--child ..."); they print one line of figures that the parent reads.
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "front/cpu.h"
#include "mix/dispatch.h"
#include "mix/mix.h"
#include "scrypt-vornik.h"

#if SCRYPT_BENCH_OPENSSL
#include <openssl/evp.h>
#include <openssl/kdf.h>
#endif
#if SCRYPT_BENCH_SODIUM
#include <sodium.h>
#endif
#if SCRYPT_BENCH_SCRYPT_KDF
// The header declares C functions without a C++ guard.
extern "C" {
#include <scrypt-kdf.h>
}
#endif

extern "C" void salsa_floor_chain(uint32_t block[16], uint64_t cores);

extern char **environ;

namespace {

// ---------------------------------------------------------------- helpers

// Every time is the CPU time of the calling thread (user and system, so page
// faults count): on a quiet machine it equals the wall time, and on a shared
// one it leaves out the time the thread waited for a processor.
double now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "12.3 us", "4.56 ms", "1.23 s"
std::string fmt_time(double s) {
    char buf[32];
    if (s < 1e-3)
        snprintf(buf, sizeof buf, "%.1f us", s * 1e6);
    else if (s < 1)
        snprintf(buf, sizeof buf, "%.2f ms", s * 1e3);
    else
        snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

std::string fmt_bytes(double b) {
    char buf[32];
    if (b < 1024 * 1024)
        snprintf(buf, sizeof buf, "%.1f KiB", b / 1024);
    else
        snprintf(buf, sizeof buf, "%.2f MiB", b / (1024 * 1024));
    return buf;
}

// 64-byte aligned, first touched, never freed before the process ends
// unless the caller does so.
uint32_t *aligned_words(size_t bytes) {
    void *p = nullptr;
    if (posix_memalign(&p, 64, bytes) != 0) {
        fprintf(stderr, "scrypt_bench: out of memory (%zu bytes)\n", bytes);
        exit(1);
    }
    memset(p, 0x5a, bytes);
    return (uint32_t *)p;
}

// A ROMix table placed as the library's driver places a large one: on
// transparent huge pages where the kernel offers them on request.
uint32_t *table_words(size_t bytes) {
    void *p = nullptr;
    if (posix_memalign(&p, 2 << 20, bytes) != 0) {
        fprintf(stderr, "scrypt_bench: out of memory (%zu bytes)\n", bytes);
        exit(1);
    }
#if defined(MADV_HUGEPAGE)
    if (bytes >= (4u << 20)) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    memset(p, 0x5a, bytes);
    return (uint32_t *)p;
}

void fill_random(uint32_t *w, size_t words, uint32_t seed) {
    uint32_t s = seed | 1;
    for (size_t i = 0; i < words; i++) {
        s ^= s << 13, s ^= s >> 17, s ^= s << 5;
        w[i] = s;
    }
}

struct factor_set {
    uint8_t Nfactor, rfactor, pfactor;
    uint64_t N() const { return uint64_t(1) << (Nfactor + 1); }
    uint32_t r() const { return uint32_t(1) << rfactor; }
    uint32_t p() const { return uint32_t(1) << pfactor; }
    // The table plus Y and the p chunks of B.
    uint64_t floor_bytes() const { return (N() + p() + 1) * 128 * r(); }
};

const factor_set sets[] = {{3, 0, 0}, {9, 0, 0}, {9, 3, 4}, {13, 3, 0}, {16, 3, 0}, {19, 3, 0}};

// Median time of one detect_cpu(), measured by header(): a fixed cost of
// every scrypt call, shown beside the goals it decides.
double detect_cpu_seconds = 0;

const uint8_t password[] = "password";
const uint8_t salt[] = "NaCl";
constexpr size_t password_len = sizeof password - 1, salt_len = sizeof salt - 1;
constexpr size_t out_len = 64;

void library_derive(const factor_set &f, uint8_t *out) {
    scrypt(password, password_len, salt, salt_len, f.Nfactor, f.rfactor, f.pfactor, out, out_len);
}

// Other factors than f, cheap to derive: a call with these makes the next
// call with f a cold one.
factor_set other_than(const factor_set &f) {
    return f.Nfactor == 3 && f.rfactor == 0 && f.pfactor == 0 ? factor_set{3, 0, 1}
                                                              : factor_set{3, 0, 0};
}

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

// Runs this program again as `--child args...` and returns what it printed
// on standard output; empty on failure.
std::string run_child(const std::vector<std::string> &args) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<std::string> all = {"scrypt_bench", "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string text;
    if (rc == 0) {
        char buf[512];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text.clear();
    }
    close(fds[0]);
    return text;
}

// ------------------------------------------------- children (fresh processes)

// The first call of a process against a later cold call with the same
// factors: "first_seconds cold_seconds".
int child_selftest() {
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

// A "Vm...:" figure of /proc/self/status, in KiB; -1 when unreadable.
long status_kib(const char *key) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    const size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0 && line[n] == ':') kib = atol(line + n + 1);
    fclose(f);
    return kib;
}

// Peak resident memory that one cold derivation adds to a resting process
// (self-test already done): "rest_kib peak_kib reset_ok".  The kernel's
// high-water mark (VmHWM, which getrusage reports as ru_maxrss) is reset to
// the current resident size first, so that the self-test's own buffers do
// not count.  It is read from /proc rather than from getrusage because
// ru_maxrss also keeps the peak of the image that exec replaced, and this
// process was spawned from the benchmark's own, which held large tables.
int child_peak(const factor_set &f) {
    uint8_t out[out_len];
    library_derive(other_than(f), out);
    int reset_ok = 0;
    const int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd >= 0) {
        reset_ok = write(fd, "5", 1) == 1;
        close(fd);
    }
    const long rest = status_kib("VmRSS");
    library_derive(f, out);
    const long peak = status_kib("VmHWM");
    printf("%ld %ld %d\n", rest, peak, reset_ok && rest >= 0 && peak >= 0);
    return 0;
}

int child_main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[2], "selftest") == 0) return child_selftest();
    if (argc >= 6 && strcmp(argv[2], "peak") == 0)
        return child_peak({uint8_t(atoi(argv[3])), uint8_t(atoi(argv[4])), uint8_t(atoi(argv[5]))});
    fprintf(stderr, "scrypt_bench: unknown child mode\n");
    return 2;
}

// ------------------------------------------------------------- section 1

double floor_ns_per_core() {
    alignas(64) uint32_t block[16];
    fill_random(block, 16, 7);
    const uint64_t cores = 400000;
    salsa_floor_chain(block, cores / 10);
    std::vector<double> t;
    for (int rep = 0; rep < 7; rep++) {
        const double t0 = now();
        salsa_floor_chain(block, cores);
        t.push_back((now() - t0) / double(cores) * 1e9);
    }
    return median(t);
}

// The core clock while this thread runs, from a chain of dependent integer
// additions (one cycle each); 0 where it cannot be measured.
double clock_ghz() {
#if defined(__x86_64__)
    const long loops = 50000000;
    uint64_t x = 0;
    std::vector<double> t;
    for (int rep = 0; rep < 5; rep++) {
        const double t0 = now();
        for (long i = 0; i < loops; i++)
            asm volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
        t.push_back(now() - t0);
    }
    return 4.0 * loops / median(t) * 1e-9;
#else
    return 0;
#endif
}

double chunkmix_ns_per_core(chunkmix_function mix) {
    const uint32_t r = 8;
    const size_t bytes = 128 * r;
    uint32_t *a = aligned_words(bytes), *b = aligned_words(bytes), *x = aligned_words(bytes);
    fill_random(a, bytes / 4, 1);
    fill_random(x, bytes / 4, 2);
    const int pairs = 4000;  // 2 * pairs ChunkMix calls of 2r cores each
    for (int i = 0; i < pairs / 4; i++) mix(b, a, x, r), mix(a, b, x, r);
    std::vector<double> t;
    for (int rep = 0; rep < 9; rep++) {
        const double t0 = now();
        for (int i = 0; i < pairs; i++) mix(b, a, x, r), mix(a, b, x, r);
        t.push_back((now() - t0) / (2.0 * pairs * 2 * r) * 1e9);
    }
    free(a), free(b), free(x);
    return median(t);
}

double romix_seconds(romix_function romix, uint32_t N, uint32_t r) {
    const size_t chunk = 128 * size_t(r);
    uint32_t *X = aligned_words(chunk), *Y = aligned_words(chunk);
    uint32_t *V = table_words(chunk * N);
    fill_random(X, chunk / 4, 3);
    romix(X, Y, V, N, r);
    std::vector<double> t;
    for (int rep = 0; rep < 7; rep++) {
        const double t0 = now();
        romix(X, Y, V, N, r);
        t.push_back(now() - t0);
    }
    free(X), free(Y), free(V);
    return median(t);
}

void section_forms() {
    const uint32_t N = 1u << 14, r = 8;
    printf("1. Mixing forms (ChunkMix with an xor input, r = 8; ROMix N = 2^14, r = 8)\n\n");
    const double ghz = clock_ghz();
    const double floor_ns = floor_ns_per_core();
    const double romix_cores = 4.0 * N * r;
    printf("   %-34s %8s %8s %9s %12s %9s\n", "form", "ns/core", "cycles", "vs floor", "ROMix",
           "vs floor");
    printf("   %-34s %8.2f %8.0f %9s %12s %9s\n", "scalar latency floor (bare cores)", floor_ns,
           floor_ns * ghz, "1.00", fmt_time(floor_ns * romix_cores * 1e-9).c_str(), "1.00");
    const cpu_feature_flags flags = detect_cpu();
    const mix_form *selected = scrypt_select_form(flags);
    for (unsigned i = 0; i < scrypt_mix_form_count; i++) {
        const mix_form &f = scrypt_mix_forms[i];
        std::string label = f.name;
        if (&f == selected) label += " (selected)";
        if (!scrypt_form_runs(&f, flags)) {
            printf("   %-34s not runnable on this processor\n", label.c_str());
            continue;
        }
        const double ns = chunkmix_ns_per_core(f.chunkmix);
        const double rs = romix_seconds(f.romix, N, r);
        printf("   %-34s %8.2f %8.0f %9.2f %12s %9.2f\n", label.c_str(), ns, ns * ghz,
               ns / floor_ns, fmt_time(rs).c_str(), rs / (floor_ns * romix_cores * 1e-9));
    }
    printf(
        "\n   ns/core: one Salsa20/8 core inside ChunkMix (xor input and stores included);\n"
        "   cycles at the measured clock of %.2f GHz (dependent-add chain).\n"
        "   ROMix: one call, table on huge pages as the driver places it; vs floor: its time\n"
        "   over 4*N*r bare cores at the floor's rate.\n\n",
        ghz);
}

// ------------------------------------------------------------- section 2

struct contender {
    const char *name;
    bool (*derive)(const factor_set &, uint8_t *out);
};

#if SCRYPT_BENCH_OPENSSL
bool openssl_derive(const factor_set &f, uint8_t *out) {
    return EVP_PBE_scrypt((const char *)password, password_len, salt, salt_len, f.N(), f.r(), f.p(),
                          uint64_t(1) << 40, out, out_len) == 1;
}
#endif
#if SCRYPT_BENCH_SODIUM
bool sodium_derive(const factor_set &f, uint8_t *out) {
    return crypto_pwhash_scryptsalsa208sha256_ll(password, password_len, salt, salt_len, f.N(),
                                                 f.r(), f.p(), out, out_len) == 0;
}
#endif
#if SCRYPT_BENCH_SCRYPT_KDF
bool scrypt_kdf_derive(const factor_set &f, uint8_t *out) {
    return scrypt_kdf(password, password_len, salt, salt_len, f.N(), f.r(), f.p(), out, out_len) ==
           0;
}
#endif

const contender peers[] = {
#if SCRYPT_BENCH_OPENSSL
    {"OpenSSL", openssl_derive},
#endif
#if SCRYPT_BENCH_SODIUM
    {"libsodium", sodium_derive},
#endif
#if SCRYPT_BENCH_SCRYPT_KDF
    {"scrypt-kdf", scrypt_kdf_derive},
#endif
    {nullptr, nullptr},
};
constexpr size_t peer_count = sizeof peers / sizeof peers[0] - 1;

// Rounds per factor set: enough for a steady median, within a few minutes.
int rounds_for(const factor_set &f) {
    const uint64_t work = f.N() * f.r() * f.p();
    if (work <= (1u << 12)) return 301;
    if (work <= (1u << 17)) return 61;
    if (work <= (1u << 20)) return 15;
    if (work <= (1u << 21)) return 9;
    if (work <= (1u << 25)) return 5;
    return 3;
}

struct derivation_row {
    factor_set f;
    double steady, cold;
    double peer[peer_count + 1];
    bool agree;
};

derivation_row measure_set(const factor_set &f) {
    derivation_row row{};
    row.f = f;
    row.agree = true;
    uint8_t expect[out_len], out[out_len];
    library_derive(f, expect);
    std::vector<double> steady, cold, peer[peer_count + 1];
    const int rounds = rounds_for(f);
    for (int round = 0; round < rounds; round++) {
        // Cold: other factors first, so that both buffers are released and
        // the timed call allocates and first touches new ones.  Steady: the
        // same factors again, straight after.
        library_derive(other_than(f), out);
        double t0 = now();
        library_derive(f, out);
        cold.push_back(now() - t0);
        row.agree &= memcmp(out, expect, out_len) == 0;
        t0 = now();
        library_derive(f, out);
        steady.push_back(now() - t0);
        row.agree &= memcmp(out, expect, out_len) == 0;
        for (size_t i = 0; i < peer_count; i++) {
            memset(out, 0, out_len);
            t0 = now();
            const bool ok = peers[i].derive(f, out);
            peer[i].push_back(now() - t0);
            row.agree &= ok && memcmp(out, expect, out_len) == 0;
        }
    }
    row.steady = median(steady);
    row.cold = median(cold);
    for (size_t i = 0; i < peer_count; i++) row.peer[i] = median(peer[i]);
    return row;
}

void section_derivations() {
    printf("2. Whole derivations (password \"password\", salt \"NaCl\", 64 output bytes)\n\n");
    const char *missing[] = {
#if !SCRYPT_BENCH_OPENSSL
        "OpenSSL (libssl-dev)",
#endif
#if !SCRYPT_BENCH_SODIUM
        "libsodium (libsodium-dev)",
#endif
#if !SCRYPT_BENCH_SCRYPT_KDF
        "libscrypt-kdf (libscrypt-kdf-dev)",
#endif
        nullptr
    };
    for (const char **m = missing; *m; m++) printf("   peer not built (not found): %s\n", *m);
    if (missing[0]) printf("\n");

    printf("   %-11s %6s  %10s %10s", "(N,r,p)f", "rounds", "lib steady", "lib cold");
    for (size_t i = 0; i < peer_count; i++) printf(" %11s %11s", peers[i].name, "ratio s/c");
    printf("  %s\n", "outputs");
    std::vector<derivation_row> rows;
    for (const factor_set &f : sets) {
        const derivation_row row = measure_set(f);
        rows.push_back(row);
        char label[32];
        snprintf(label, sizeof label, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        printf("   %-11s %6d  %10s %10s", label, rounds_for(f), fmt_time(row.steady).c_str(),
               fmt_time(row.cold).c_str());
        for (size_t i = 0; i < peer_count; i++) {
            char ratio[32];
            snprintf(ratio, sizeof ratio, "%.2f/%.2f", row.peer[i] / row.steady,
                     row.peer[i] / row.cold);
            printf(" %11s %11s", fmt_time(row.peer[i]).c_str(), ratio);
        }
        printf("  %s\n", row.agree ? "agree" : "DIFFER");
        fflush(stdout);
    }
    printf(
        "\n   Medians of interleaved rounds (cold, steady, then each peer, every round), thread "
        "CPU time.\n");
    printf(
        "   ratio s/c: peer time / library time, steady and cold; above 1 the library is "
        "faster.\n");
    printf("   The peers allocate their work memory on every call.\n\n");

    if (peer_count == 0) return;
    printf("   Goals (fastest peer per set):\n");
    for (const derivation_row &row : rows) {
        double best = row.peer[0];
        const char *best_name = peers[0].name;
        for (size_t i = 1; i < peer_count; i++)
            if (row.peer[i] < best) best = row.peer[i], best_name = peers[i].name;
        const bool cold_goal = row.f.Nfactor >= 13;
        printf("   (%u,%u,%u)%*s fastest peer %-10s %10s   steady %s (%.2fx)", row.f.Nfactor,
               row.f.rfactor, row.f.pfactor, row.f.Nfactor >= 10 ? 2 : 3, "", best_name,
               fmt_time(best).c_str(), row.steady <= best ? "met   " : "MISSED", best / row.steady);
        if (cold_goal)
            printf("   cold %s (%.2fx)", row.cold <= best ? "met   " : "MISSED", best / row.cold);
        if (row.steady > best && detect_cpu_seconds > 0)
            printf("   (steady less detect_cpu(): %s)",
                   fmt_time(row.steady - detect_cpu_seconds).c_str());
        printf("\n");
    }
    printf("\n");
}

// ------------------------------------------------------------- section 3

void section_selftest() {
    printf("3. First call of a process: the self-test's cost (fresh processes)\n\n");
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

// ------------------------------------------------------------- section 4

void section_memory() {
    printf("4. Peak memory of one cold derivation (fresh process, after its self-test)\n\n");
    printf("   %-11s %14s %14s %14s  %s\n", "(N,r,p)f", "floor", "peak rise", "limit", "goal");
    for (const factor_set &f : sets) {
        const std::string text = run_child({"peak", std::to_string(f.Nfactor),
                                            std::to_string(f.rfactor), std::to_string(f.pfactor)});
        long rest, peak;
        int reset_ok;
        char label[32];
        snprintf(label, sizeof label, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        if (sscanf(text.c_str(), "%ld %ld %d", &rest, &peak, &reset_ok) != 3 || !reset_ok) {
            printf("   %-11s could not measure (child failed or peak reset refused)\n", label);
            continue;
        }
        const double floor = double(f.floor_bytes());
        const double rise = double(peak - rest) * 1024;
        const double limit = floor * 1.01 + 1024 * 1024;
        printf("   %-11s %14s %14s %14s  %s\n", label, fmt_bytes(floor).c_str(),
               fmt_bytes(rise).c_str(), fmt_bytes(limit).c_str(), rise <= limit ? "met" : "MISSED");
        fflush(stdout);
    }
    printf(
        "\n   floor: N*128*r + (p+1)*128*r.  peak rise: the kernel's resident high-water mark\n"
        "   (VmHWM, i.e. ru_maxrss, reset first) less the resident size before the call.\n"
        "   limit: floor + 1 %% + 1 MiB.  A rise below the floor means the allocator reused\n"
        "   heap pages that were already resident.\n\n");
}

// ------------------------------------------------------------- section 5

void section_hexlines() {
    printf("5. hexlines throughput\n\n");
#ifdef SCRYPT_BENCH_HEXLINES
    const char *path = SCRYPT_BENCH_HEXLINES;
    if (access(path, X_OK) != 0) {
        printf("   %s is not built\n", path);
        return;
    }
    fflush(stdout);
    char *argv[] = {(char *)"hexlines_bench", nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
        printf("   could not start %s\n", path);
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        printf("   hexlines_bench failed (status %d)\n", status);
#else
    printf("   not built: bench/hexlines is missing from this tree\n");
#endif
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

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "--child") == 0) return child_main(argc, argv);
#if SCRYPT_BENCH_SODIUM
    if (sodium_init() < 0) {
        fprintf(stderr, "scrypt_bench: sodium_init failed\n");
        return 1;
    }
#endif
    // Optional arguments name the sections to run (1 to 5); none runs all.
    bool run[6] = {false, argc < 2, argc < 2, argc < 2, argc < 2, argc < 2};
    for (int i = 1; i < argc; i++) {
        const int k = atoi(argv[i]);
        if (k < 1 || k > 5) {
            fprintf(stderr, "usage: scrypt_bench [section 1-5 ...]\n");
            return 2;
        }
        run[k] = true;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    header();
    if (run[1]) section_forms();
    if (run[2]) section_derivations();
    // Give the largest table back before the fresh processes run.
    uint8_t out[out_len];
    library_derive(factor_set{3, 0, 0}, out);
    if (run[3]) section_selftest();
    if (run[4]) section_memory();
    if (run[5]) section_hexlines();
    return 0;
}
