// The test program that runs inside the emulated XOP machine.
//
// Statically linked, it is started by the initramfs' /init with the path of
// an arguments file that the host wrote:
//
//     seed <decimal>                        seed of the random chunks
//     derive <pw> <salt> <Nf> <rf> <pf> <k>  a derivation and its expected key,
//                                           byte strings in hex ("-": empty),
//                                           factors as passed to scrypt()
//     derive_key <pw> <salt> <N> <r> <p> <k> the same with N, r and p as
//                                           passed to scrypt_derive_key()
//
// It reports every check as one line
//
//     @check <group> ok|FAIL <what> [detail]
//
// (the detail only on failure) and each group's totals as
// "@group <group> <checks> <failures>".  Its exit status is 0 when every
// check passed.  The emulator runs about a hundred times slower than the
// host, so the work is kept small.
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "api/scrypt.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "mix/mix.h"
#include "scrypt-vornik.h"
#include "selftest/selftest.h"

namespace {

struct group_tally {
    const char *name;
    unsigned checks = 0, failures = 0;
};

unsigned total_failures = 0;

void check(group_tally &g, bool ok, const char *what, const char *fmt = nullptr, ...) {
    g.checks++;
    printf("@check %s %s %s", g.name, ok ? "ok" : "FAIL", what);
    if (fmt && !ok) {
        va_list ap;
        va_start(ap, fmt);
        putchar(' ');
        vprintf(fmt, ap);
        va_end(ap);
    }
    putchar('\n');
    if (!ok) {
        g.failures++;
        total_failures++;
    }
    fflush(stdout);
}

void finish(const group_tally &g) {
    printf("@group %s %u %u\n", g.name, g.checks, g.failures);
    fflush(stdout);
}

// Fatal-error reports are recorded rather than ending the program.
std::vector<std::string> reports;
void record_report(const char *message) {
    reports.emplace_back(message);
}

std::string joined_reports() {
    std::string s;
    for (const auto &m : reports) s += "[" + m + "]";
    return s.empty() ? "none" : s;
}

uint64_t rng_state;
uint32_t next_word() {
    // splitmix64
    uint64_t z = (rng_state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return (uint32_t)(z ^ (z >> 31));
}

// A 64-byte aligned array of words, filled at random.
struct words {
    uint32_t *p;
    size_t n;
    explicit words(size_t count) : p((uint32_t *)aligned_alloc(64, count * 4 + 64)), n(count) {
        if (!p) {
            printf("guest: out of memory\n");
            exit(2);
        }
        for (size_t i = 0; i < n; i++) p[i] = next_word();
    }
    words(const words &) = delete;
    words &operator=(const words &) = delete;
    ~words() { free(p); }
    bool operator==(const words &o) const { return n == o.n && memcmp(p, o.p, n * 4) == 0; }
};

// First differing word, for the report.
size_t first_difference(const uint32_t *a, const uint32_t *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i]) return i;
    return n;
}

void check_detection() {
    group_tally g{"detect"};
    const cpu_feature_flags flags = detect_cpu();
    cpuid_record ext{};
    get_cpuid(&ext, 0x80000001);
    printf("guest: detect_cpu() = 0x%" PRIx64 ", XCR0 = 0x%" PRIx64
           ", leaf 0x80000001 ECX = 0x%08x\n",
           (uint64_t)flags, get_xgetbv(0), ext.ecx);
    check(g, (flags & FEATURE_XOP) != 0, "feature-xop", "flags=0x%" PRIx64, (uint64_t)flags);
    check(g, (flags & FEATURE_AVX) != 0, "feature-avx", "flags=0x%" PRIx64, (uint64_t)flags);
    const mix_form *form = scrypt_select_form(flags);
    check(g, form && strcmp(form->name, "xop") == 0, "selected-form-xop", "name=%s",
          form ? form->name : "(null)");
    check(g, scrypt_select_form(flags)->romix == scrypt_ROMix_xop, "selected-romix-xop");
    finish(g);
}

void check_self_test() {
    group_tally g{"selftest"};
    scrypt_set_fatal_error(record_report);
    // The first derivation of the process runs the self-test, here with the
    // XOP form chosen; a failed part would have been reported.
    uint8_t out[16];
    check(g, power_on_self_test == 0, "not-run-before-first-call");
    scrypt((const uint8_t *)"x", 1, (const uint8_t *)"y", 1, 1, 0, 0, out, sizeof out);
    check(g, power_on_self_test == 1, "run-by-first-call");
    check(g, reports.empty(), "first-call-reports-nothing", "reports=%s", joined_reports().c_str());

    reports.clear();
    const uint32_t result = scrypt_power_on_self_test();
    check(g, result == 7, "direct-result-7", "result=%u", result);
    check(g, reports.empty(), "direct-reports-nothing", "reports=%s", joined_reports().c_str());

    check(g,
          scrypt_test_mix_instance(scrypt_ChunkMix_xop, salsa_core_tangle_sse2,
                                   salsa_core_tangle_sse2, expected) == 1,
          "xop-mix-known-answer");
    check(g,
          scrypt_test_mix_instance(_scrypt_ChunkMix_xop, salsa_core_tangle_sse2,
                                   salsa_core_tangle_sse2, expected) == 1,
          "xop-mix-second-entry-known-answer");
    scrypt_set_fatal_error(nullptr);
    finish(g);
}

void check_chunkmix() {
    group_tally g{"chunkmix"};
    static const uint32_t rs[] = {1, 2, 8, 256};
    char what[64];
    for (uint32_t r : rs) {
        const size_t n = (size_t)32 * r;
        for (int trial = 0; trial < 3; trial++) {
            for (int with_xor = 0; with_xor < 2; with_xor++) {
                words in(n), x(n), want(n), tin(n), tx(n), got(n);
                scrypt_ChunkMix_basic(want.p, in.p, with_xor ? x.p : nullptr, r);
                memcpy(tin.p, in.p, n * 4);
                memcpy(tx.p, x.p, n * 4);
                salsa_core_tangle_sse2(tin.p, 2 * (uint64_t)r);
                salsa_core_tangle_sse2(tx.p, 2 * (uint64_t)r);
                scrypt_ChunkMix_xop(got.p, tin.p, with_xor ? tx.p : nullptr, r);
                salsa_core_tangle_sse2(got.p, 2 * (uint64_t)r);
                snprintf(what, sizeof what, "r=%u,trial=%d,%s", r, trial,
                         with_xor ? "xor" : "no-xor");
                check(g, got == want, what, "first-difference-word=%zu",
                      first_difference(got.p, want.p, n));
            }
        }
        // A null Bxor is the same as an all-zero one.
        words in(n), zero(n), a(n), b(n);
        memset(zero.p, 0, n * 4);
        scrypt_ChunkMix_xop(a.p, in.p, nullptr, r);
        scrypt_ChunkMix_xop(b.p, in.p, zero.p, r);
        snprintf(what, sizeof what, "r=%u,null-xor-equals-zero-xor", r);
        check(g, a == b, what);
    }
    finish(g);
}

void check_romix() {
    group_tally g{"romix"};
    static const struct {
        uint32_t N, r;
    } cases[] = {{2, 1}, {16, 1}, {64, 2}, {1024, 1}, {256, 8}, {8, 256}};
    char what[64];
    for (const auto &c : cases) {
        const size_t n = (size_t)32 * c.r;
        words x(n), want(n), y(n), v(n * c.N);
        memcpy(want.p, x.p, n * 4);
        scrypt_ROMix_basic(want.p, y.p, v.p, c.N, c.r);
        scrypt_ROMix_xop(x.p, y.p, v.p, c.N, c.r);
        snprintf(what, sizeof what, "N=%u,r=%u", c.N, c.r);
        check(g, x == want, what, "first-difference-word=%zu", first_difference(x.p, want.p, n));
    }
    finish(g);
}

bool parse_hex(const char *s, std::vector<uint8_t> &out) {
    out.clear();
    if (strcmp(s, "-") == 0) return true;
    const size_t len = strlen(s);
    if (len % 2) return false;
    for (size_t i = 0; i < len; i += 2) {
        unsigned v;
        if (sscanf(s + i, "%2x", &v) != 1) return false;
        out.push_back((uint8_t)v);
    }
    return true;
}

std::string hex(const std::vector<uint8_t> &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

struct derivation {
    std::vector<uint8_t> password, salt, key;
    unsigned Nfactor, rfactor, pfactor;
};

struct key_derivation {
    std::vector<uint8_t> password, salt, key;
    unsigned long long N;
    unsigned r, p;
};

void check_derivations(const std::vector<derivation> &rows) {
    group_tally g{"derive"};
    char what[96];
    for (const auto &d : rows) {
        std::vector<uint8_t> out(d.key.size());
        scrypt(d.password.data(), d.password.size(), d.salt.data(), d.salt.size(),
               (uint8_t)d.Nfactor, (uint8_t)d.rfactor, (uint8_t)d.pfactor, out.data(), out.size());
        snprintf(what, sizeof what, "pw=%zuB,salt=%zuB,Nfactor=%u,rfactor=%u,pfactor=%u,len=%zu",
                 d.password.size(), d.salt.size(), d.Nfactor, d.rfactor, d.pfactor, d.key.size());
        check(g, out == d.key, what, "got=%s", hex(out).c_str());
    }
    finish(g);
}

void check_key_derivations(const std::vector<key_derivation> &rows) {
    group_tally g{"derive_key"};
    char what[96];
    for (const auto &d : rows) {
        std::vector<uint8_t> out(d.key.size());
        const int status = scrypt_derive_key(d.password.data(), d.password.size(), d.salt.data(),
                                             d.salt.size(), d.N, d.r, d.p, out.data(), out.size());
        snprintf(what, sizeof what, "N=%llu,r=%u,p=%u,len=%zu", d.N, d.r, d.p, d.key.size());
        check(g, status == SCRYPT_OK && out == d.key, what, "status=%d,got=%s", status,
              hex(out).c_str());
    }
    finish(g);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s ARGUMENTS-FILE\n", argv[0]);
        return 2;
    }
    FILE *f = fopen(argv[1], "r");
    if (!f) {
        perror(argv[1]);
        return 2;
    }
    std::vector<derivation> rows;
    std::vector<key_derivation> key_rows;
    bool seeded = false;
    char line[8192];
    while (fgets(line, sizeof line, f)) {
        char kw[16], pw[1024], salt[1024], key[4096];
        derivation d;
        key_derivation k;
        unsigned long long seed;
        if (sscanf(line, "seed %llu", &seed) == 1) {
            rng_state = seed;
            seeded = true;
        } else if (sscanf(line, "derive %1023s %1023s %u %u %u %4095s", pw, salt, &d.Nfactor,
                          &d.rfactor, &d.pfactor, key) == 6 &&
                   parse_hex(pw, d.password) && parse_hex(salt, d.salt) && parse_hex(key, d.key)) {
            rows.push_back(d);
        } else if (sscanf(line, "derive_key %1023s %1023s %llu %u %u %4095s", pw, salt, &k.N, &k.r,
                          &k.p, key) == 6 &&
                   parse_hex(pw, k.password) && parse_hex(salt, k.salt) && parse_hex(key, k.key)) {
            key_rows.push_back(k);
        } else if (sscanf(line, "%15s", kw) == 1) {
            fprintf(stderr, "guest: bad argument line: %s", line);
            return 2;
        }
    }
    fclose(f);
    if (!seeded || rows.empty()) {
        fprintf(stderr, "guest: arguments file lacks a seed or derivations\n");
        return 2;
    }
    printf("guest: seed %" PRIu64 ", %zu derivations\n", rng_state, rows.size());

    check_detection();
    // Without XOP every later call of the XOP form would fault; the
    // detection failures above already say why.
    if (!(detect_cpu() & FEATURE_XOP)) return 1;
    check_self_test();
    check_chunkmix();
    check_romix();
    check_derivations(rows);
    check_key_derivations(key_rows);
    printf("guest: %u failures\n", total_failures);
    return total_failures == 0 ? 0 : 1;
}
