// Secret-independent control flow and memory access in the hash layer and in
// the constant-time comparison.
//
// The program holds "probes": each marks its secret inputs (password, salt,
// HMAC key and message, compared bytes) as undefined with memcheck's client
// requests and then runs the code under test.  memcheck tracks undefinedness
// through every computation and reports a conditional jump ("Conditional jump
// or move depends on uninitialised value(s)") or an address ("Use of
// uninitialised value of size 8") that depends on it.  A clean run therefore
// shows that no branch and no memory access depends on the secrets.
//
// The GoogleTest cases start this same program under valgrind with one probe
// each and read the verdict from valgrind's exit status and report.  A control
// probe with a deliberately leaky comparison and a secret-indexed table proves
// that the set-up does catch both kinds of leak.
//
// ROMix is left out on purpose: scrypt's table reads are indexed by the data
// being mixed, by design of the algorithm.
#include <gtest/gtest.h>
#include <limits.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <stdint.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hash/hash.h"
#include "selftest/selftest.h"

#ifdef SCRYPT_HAVE_MEMCHECK_H
#include <valgrind/memcheck.h>
#endif

#include "support/build_kind.h"
#include "support/child.h"

namespace {

using bytes = std::vector<uint8_t>;

#ifdef SCRYPT_HAVE_MEMCHECK_H

bytes pattern(size_t n, uint32_t seed) {
    bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = (uint8_t)(x >> 11);
    }
    return b;
}

// What memcheck should treat as secret from here on.
void make_secret(void *p, size_t n) {
    if (n) VALGRIND_MAKE_MEM_UNDEFINED(p, n);
}
void make_public(void *p, size_t n) {
    if (n) VALGRIND_MAKE_MEM_DEFINED(p, n);
}

// Whether memcheck holds every byte of the range (all = true) or at least one
// bit of it (all = false) as undefined, that is whether the secrets
// demonstrably flowed into it.  A probe whose results are not tainted would
// prove nothing.
bool tainted(const void *p, size_t n, bool all = true) {
    std::vector<uint8_t> vbits(n);
    if (VALGRIND_GET_VBITS(p, vbits.data(), n) != 1) return false;
    size_t undefined = 0;
    for (uint8_t v : vbits) undefined += v != 0;
    return all ? undefined == n : undefined != 0;
}

int failures = 0;
int checked = 0;

// Makes `got` public and compares it with the oracle's answer.
void expect_secret_result(const char *what, size_t index, uint8_t *got, const bytes &want) {
    checked++;
    if (!want.empty() && !tainted(got, want.size())) {
        fprintf(stderr, "PROBE FAILURE: %s case %zu: result does not depend on the secrets\n", what,
                index);
        failures++;
    }
    make_public(got, want.size());
    if (memcmp(got, want.data(), want.size()) != 0) {
        fprintf(stderr, "PROBE FAILURE: %s case %zu: result differs from OpenSSL\n", what, index);
        failures++;
    }
}

// Updates `update` with `data` in pieces whose sizes are taken from `splits`
// in turn (0 included), the rest in one piece.
template <class Update>
void feed(Update update, const uint8_t *data, size_t len, std::initializer_list<size_t> splits) {
    for (size_t s : splits) {
        size_t take = s < len ? s : len;
        update(data, take);
        data += take;
        len -= take;
    }
    update(data, len);
}

int probe_hash() {
    // SHA-256 of a secret message, fed in pieces that straddle block borders.
    const size_t sha_lengths[] = {1, 55, 56, 63, 64, 65, 200};
    for (size_t i = 0; i < sizeof sha_lengths / sizeof *sha_lengths; i++) {
        bytes m = pattern(sha_lengths[i], (uint32_t)i + 1);
        bytes want(32);
        SHA256(m.data(), m.size(), want.data());
        make_secret(m.data(), m.size());
        hash_context ctx;
        scrypt_hash_init(&ctx);
        feed([&](const uint8_t *d, size_t n) { scrypt_hash_update(&ctx, d, n); }, m.data(),
             m.size(), {3, 0, 61, 64});
        uint8_t got[32];
        scrypt_hash_finish(&ctx, got);
        expect_secret_result("sha256 (split)", i, got, want);

        uint8_t one_shot[32];
        make_secret(m.data(), m.size());
        scrypt_hash(one_shot, m.data(), m.size());
        expect_secret_result("sha256 (one shot)", i, one_shot, want);
    }

    // HMAC with a secret key and a secret message: short, block-sized and
    // over-long keys (hashed first), messages around the padding borders.
    const struct {
        size_t key, message;
    } hmac_cases[] = {{1, 0}, {20, 55}, {32, 56}, {64, 64}, {65, 1}, {131, 200}};
    for (size_t i = 0; i < sizeof hmac_cases / sizeof *hmac_cases; i++) {
        bytes key = pattern(hmac_cases[i].key, 100 + (uint32_t)i);
        bytes m = pattern(hmac_cases[i].message, 200 + (uint32_t)i);
        bytes want(32);
        unsigned want_len = 32;
        HMAC(EVP_sha256(), key.data(), (int)key.size(), m.data(), m.size(), want.data(), &want_len);
        make_secret(key.data(), key.size());
        make_secret(m.data(), m.size());
        hmac_context ctx;
        scrypt_hmac_init(&ctx, key.data(), key.size());
        feed([&](const uint8_t *d, size_t n) { scrypt_hmac_update(&ctx, d, n); }, m.data(),
             m.size(), {7, 0, 64});
        uint8_t got[32];
        scrypt_hmac_finish(&ctx, got);
        expect_secret_result("hmac", i, got, want);
    }

    // PBKDF2 (one iteration) with a secret password and salt: salts whose
    // index bytes cross a block border, passwords beyond the block size,
    // outputs cut inside a block.
    const struct {
        size_t password, salt, out;
    } pbkdf2_cases[] = {{1, 0, 32},    {8, 4, 1},     {0, 16, 33},   {64, 52, 64},
                        {65, 60, 100}, {100, 64, 31}, {32, 130, 200}};
    for (size_t i = 0; i < sizeof pbkdf2_cases / sizeof *pbkdf2_cases; i++) {
        bytes password = pattern(pbkdf2_cases[i].password, 300 + (uint32_t)i);
        bytes salt = pattern(pbkdf2_cases[i].salt, 400 + (uint32_t)i);
        bytes want(pbkdf2_cases[i].out);
        PKCS5_PBKDF2_HMAC((const char *)password.data(), (int)password.size(), salt.data(),
                          (int)salt.size(), 1, EVP_sha256(), (int)want.size(), want.data());
        make_secret(password.data(), password.size());
        make_secret(salt.data(), salt.size());
        bytes got(want.size());
        scrypt_pbkdf2(password.data(), password.size(), salt.data(), salt.size(), got.data(),
                      got.size());
        expect_secret_result("pbkdf2", i, got.data(), want);
    }
    return 0;
}

int probe_compare() {
    const struct {
        size_t n;
        long differ_at;  // -1: equal; -2: every byte differs
    } cases[] = {{16, -1}, {16, 0}, {16, 15}, {32, -1}, {32, 7}, {64, -2}, {64, 63}, {1, 0}};
    for (size_t i = 0; i < sizeof cases / sizeof *cases; i++) {
        bytes a = pattern(cases[i].n, 500 + (uint32_t)i);
        bytes b = a;
        if (cases[i].differ_at >= 0) b[(size_t)cases[i].differ_at] ^= 0x40;
        if (cases[i].differ_at == -2)
            for (auto &x : b) x = (uint8_t)~x;
        const uint32_t want = cases[i].differ_at == -1 ? 1 : 0;
        make_secret(a.data(), a.size());
        make_secret(b.data(), b.size());
        uint32_t got = scrypt_equal_ct(a.data(), b.data(), a.size());
        checked++;
        // The verdict is one bit; the rest of the word is known to be zero.
        if (!tainted(&got, sizeof got, false)) {
            fprintf(stderr, "PROBE FAILURE: compare case %zu: verdict not derived from the bytes\n",
                    i);
            failures++;
        }
        make_public(&got, sizeof got);
        if (got != want) {
            fprintf(stderr, "PROBE FAILURE: compare case %zu: verdict %u, expected %u\n", i, got,
                    want);
            failures++;
        }
    }
    return 0;
}

// The control: what the code under test must not do.
__attribute__((noinline)) uint32_t leaky_equal(const uint8_t *a, const uint8_t *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i]) return 0;  // exits early at the first difference
    return 1;
}

__attribute__((noinline)) uint32_t leaky_lookup(const uint8_t *secret, size_t n) {
    static volatile uint32_t table[256];
    uint32_t acc = 0;
    for (size_t i = 0; i < n; i++) acc += table[secret[i]];  // address depends on the secret
    return acc;
}

int probe_control() {
    bytes a = pattern(32, 600), b = a;
    b[31] ^= 1;
    make_secret(a.data(), a.size());
    make_secret(b.data(), b.size());
    volatile uint32_t sink = leaky_equal(a.data(), b.data(), a.size());
    sink = sink + leaky_lookup(a.data(), a.size());
    (void)sink;
    checked++;
    return 0;
}

int run_probe(const std::string &name) {
    if (!RUNNING_ON_VALGRIND) {
        fprintf(stderr, "the probes only mean something under valgrind\n");
        return 3;
    }
    int status;
    if (name == "hash")
        status = probe_hash();
    else if (name == "compare")
        status = probe_compare();
    else if (name == "control")
        status = probe_control();
    else {
        fprintf(stderr, "no probe named %s\n", name.c_str());
        return 3;
    }
    printf("probe %s: %d cases checked, %d failures\n", name.c_str(), checked, failures);
    return status != 0 || failures != 0 ? 2 : 0;
}

#endif  // SCRYPT_HAVE_MEMCHECK_H

// valgrind's exit status when it found errors; distinct from the probe's own.
constexpr int memcheck_errors = 99;

// Runs this program under valgrind memcheck with one probe and collects its
// output (stdout and stderr, valgrind's report included).
child_result run_under_valgrind(const char *probe) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return child_result{};
    self[n] = 0;
    const std::string error_exit = "--error-exitcode=" + std::to_string(memcheck_errors);
    return in_child(
        [&] {
            execl(SCRYPT_VALGRIND, "valgrind", "--tool=memcheck", error_exit.c_str(),
                  "--track-origins=yes", "--num-callers=12", self, "--probe", probe,
                  (char *)nullptr);
            return 127;
        },
        true);
}

const char *const branch_report = "Conditional jump or move depends on uninitialised value";
const char *const address_report = "Use of uninitialised value of size 8";

class SecretFlow : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef SCRYPT_HAVE_MEMCHECK_H
        GTEST_SKIP() << "valgrind/memcheck.h was not found at build time (install valgrind)";
#else
#ifdef SCRYPT_TEST_ASAN
        GTEST_SKIP() << "valgrind cannot run an AddressSanitizer build";
#endif
        if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "already running under valgrind";
        if (std::string(SCRYPT_VALGRIND).empty() || access(SCRYPT_VALGRIND, X_OK) != 0)
            GTEST_SKIP() << "valgrind is not installed";
#endif
    }
};

TEST_F(SecretFlow, ControlProbeWithLeaksIsCaught) {
    child_result r = run_under_valgrind("control");
    EXPECT_EQ(r.status, memcheck_errors) << r.output;
    EXPECT_NE(r.output.find(branch_report), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(address_report), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("leaky_equal"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("leaky_lookup"), std::string::npos) << r.output;
}

TEST_F(SecretFlow, HashLayerBranchesAndAddressesIndependentOfSecrets) {
    child_result r = run_under_valgrind("hash");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("uninitialised"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("probe hash: 27 cases checked, 0 failures"), std::string::npos)
        << r.output;
}

TEST_F(SecretFlow, ConstantTimeComparisonIndependentOfBytes) {
    child_result r = run_under_valgrind("compare");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("uninitialised"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("probe compare: 8 cases checked, 0 failures"), std::string::npos)
        << r.output;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef SCRYPT_HAVE_MEMCHECK_H
    if (argc == 3 && std::string(argv[1]) == "--probe") return run_probe(argv[2]);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
