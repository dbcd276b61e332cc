// What the benchmark's sections share: the clock, formatting, buffers, the
// factor sets and the password they derive with, fresh child processes, and
// the registry through which each section (one source file each) joins the
// run.
//
// Adding a section: write bench/section_<name>.cpp with a function that
// prints the section's body, register it with BENCH_SECTION, and list the
// file in bench/CMakeLists.txt.  A section that needs fresh processes also
// registers a child mode with BENCH_CHILD and starts it with run_child().
#ifndef SCRYPT_VORNIK_BENCH_H
#define SCRYPT_VORNIK_BENCH_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "processor_id.h"

namespace bench {

// ---------------------------------------------------------------- clock

// The CPU time of the calling thread, in seconds (user and system, so page
// faults count): on a quiet machine it equals the wall time, and on a shared
// one it leaves out the time the thread waited for a processor.
double now();
double median(std::vector<double> v);

// ---------------------------------------------------------------- text

// "12.3 us", "4.56 ms", "1.23 s"
std::string fmt_time(double seconds);
// "12.3 KiB", "4.56 MiB"
std::string fmt_bytes(double bytes);

// ---------------------------------------------------------------- memory

// 64-byte aligned, first touched, never freed before the process ends
// unless the caller does so (free()).
uint32_t *aligned_words(size_t bytes);
// A ROMix table placed as the library's driver places a large one: on
// transparent huge pages where the kernel offers them on request.
uint32_t *table_words(size_t bytes);
// Fills with a fixed xorshift sequence of the seed.
void fill_random(uint32_t *w, size_t words, uint32_t seed);

// ---------------------------------------------------------------- derivations

struct factor_set {
    uint8_t Nfactor, rfactor, pfactor;
    uint64_t N() const { return uint64_t(1) << (Nfactor + 1); }
    uint32_t r() const { return uint32_t(1) << rfactor; }
    uint32_t p() const { return uint32_t(1) << pfactor; }
    // The table plus Y and the p chunks of B.
    uint64_t floor_bytes() const { return (N() + p() + 1) * 128 * r(); }
};

// The factor sets that the derivation and memory sections measure.
extern const factor_set sets[6];

extern const uint8_t password[9], salt[5];
constexpr size_t password_len = sizeof password - 1, salt_len = sizeof salt - 1;
constexpr size_t out_len = 64;

// The library's derivation of `password` and `salt` with factors f.
void library_derive(const factor_set &f, uint8_t *out);
// Other factors than f, cheap to derive: a call with these makes the next
// call with f a cold one.
factor_set other_than(const factor_set &f);

// Median time of one detect_cpu(), measured before the sections run: a fixed
// cost of every scrypt call, shown beside the goals it decides.
extern double detect_cpu_seconds;

// ---------------------------------------------------------------- processor

// The processor's name, vendor, family and model: shared with the
// scrypt-vornik program's `info`.
using ::identify_processor;
using ::processor_id;

// Dependent latency of one addition, in ns: a chain of 64-bit scalar adds,
// and a chain of SSE2 paddd.  0 where not measured (off x86-64).
double scalar_add_ns();
double vector_add_ns();
// scalar_add_ns(), measured before the sections run: one cycle of the core
// clock while a thread runs.
extern double scalar_add_latency_ns;

// One sample of the scalar latency floor of the Salsa20/8 core: ns per core
// of a dependent chain of bare cores (salsa_floor.cpp), continuing from
// `block`.
double floor_core_ns(uint32_t block[16]);
// One sample of the AVX-512 lane form's floor: ns per chain-core of sixteen
// dependent chains of bare cores in registers (lanes_floor_avx512.cpp),
// continuing from `blocks`.  x86-64 only, and only where AVX-512 runs.
double lanes_floor_ns_avx512(uint32_t blocks[256]);

// ---------------------------------------------------------------- CSV

// With `--csv DIR`, sections also write their figures as CSV files in DIR,
// which bench/chart.gp draws.  Opens DIR/name for writing and writes the
// header line; null when no directory was given (or on failure, with a
// message).
FILE *csv_file(const char *name, const char *header);
extern std::string csv_dir;

// ---------------------------------------------------------------- processes

// Runs this program again as `--child args...` and returns what it printed
// on standard output; empty on failure.
std::string run_child(const std::vector<std::string> &args);

// Runs another program of the benchmark, `path`, sharing standard output,
// and waits for it; prints a line naming it when it is missing, cannot start
// or fails.
void run_program(const char *path, const char *name);

// ---------------------------------------------------------------- registry

// One section of the run.  Sections run in ascending `order` and are
// numbered 1, 2, ... in that order; the program prints "N. title" and a
// blank line, then calls `run`, which prints the rest and ends with a blank
// line.  Leave gaps between orders (the five first sections use 10 to 50).
struct section {
    int order;
    const char *name;   // selects the section on the command line
    const char *title;  // its heading
    void (*run)();
    section *next;
};

// A mode of a fresh child process: `scrypt_bench --child <mode> args...`
// calls run(argc, argv) with the arguments after the mode and exits with its
// result.  It prints one line of figures for the parent to read.
struct child_mode {
    const char *mode;
    int (*run)(int argc, char **argv);
    child_mode *next;
};

struct section_registration {
    explicit section_registration(section &s);
};
struct child_registration {
    explicit child_registration(child_mode &c);
};

// Every registered section, in ascending order; every child mode.
std::vector<const section *> sections();
const child_mode *find_child_mode(const char *mode);

}  // namespace bench

#define BENCH_JOIN2(a, b) a##b
#define BENCH_JOIN(a, b) BENCH_JOIN2(a, b)

// BENCH_SECTION(order, "name", "title", function) at namespace scope.
#define BENCH_SECTION(order, name, title, function)                                                \
    namespace {                                                                                    \
    bench::section BENCH_JOIN(bench_section_, __LINE__) = {order, name, title, function, nullptr}; \
    const bench::section_registration BENCH_JOIN(bench_section_reg_,                               \
                                                 __LINE__){BENCH_JOIN(bench_section_, __LINE__)};  \
    }

// BENCH_CHILD("mode", function) at namespace scope.
#define BENCH_CHILD(mode, function)                                                           \
    namespace {                                                                               \
    bench::child_mode BENCH_JOIN(bench_child_, __LINE__) = {mode, function, nullptr};         \
    const bench::child_registration BENCH_JOIN(bench_child_reg_,                              \
                                               __LINE__){BENCH_JOIN(bench_child_, __LINE__)}; \
    }

#endif
