// The self-test of a correct library: its known answers against independent
// computations, the constant-time comparison, and what the first scrypt()
// call of a process does (each first call in a fresh child process).
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/scrypt.h"
#include "mix/mix.h"
#include "observe.h"
#include "selftest/selftest.h"
#include "support/openssl_scrypt.h"

namespace {

using testing::Eq;
using testing::ExitedWithCode;

// The self-test's own heap traffic: row 0 (factors 3, 0, 0) allocates table
// and YX, row 1 (9, 3, 4) releases them and allocates its own.
const std::string self_test_log = "M2111 M319 F0 F1 M1048639 M17471";

std::vector<uint8_t> bytes(const uint8_t *p, size_t n) {
    return {p, p + n};
}

TEST(SelfTestKnownAnswers, MixBytesAreThoseOfThePortableChunkMix) {
    alignas(32) uint32_t in[64], out[64];
    for (uint32_t i = 0; i < 64; i++) in[i] = i * 0x01010101u;
    scrypt_ChunkMix_basic(out, in, nullptr, 2);
    // Words 60..63, little-endian (the host's own order).
    EXPECT_EQ(bytes(expected, 16), bytes((const uint8_t *)out + 240, 16));
}

TEST(SelfTestKnownAnswers, HashChainDigestIsOpenSSLs) {
    uint8_t message[257];
    for (unsigned i = 0; i < sizeof message; i++) message[i] = (uint8_t)i;
    std::vector<uint8_t> chain;
    for (size_t len = 0; len <= sizeof message; len++) {
        uint8_t digest[SHA256_DIGEST_LENGTH];
        SHA256(message, len, digest);
        chain.insert(chain.end(), digest, digest + sizeof digest);
    }
    ASSERT_EQ(chain.size(), 8256u);
    uint8_t final_digest[SHA256_DIGEST_LENGTH];
    SHA256(chain.data(), chain.size(), final_digest);
    EXPECT_EQ(bytes(post_hash_expected, 32), bytes(final_digest, 32));
}

TEST(SelfTestKnownAnswers, DerivationRowsAreRfc7914VectorsOneAndTwo) {
    struct rfc_vector {
        const char *password, *salt;
        unsigned Nfactor, rfactor, pfactor;  // N = 16, r = 1, p = 1; N = 1024, r = 8, p = 16
    } rfc[] = {{"", "", 3, 0, 0}, {"password", "NaCl", 9, 3, 4}};
    for (unsigned k = 0; k < 2; k++) {
        SCOPED_TRACE(k);
        const post_setting_row &row = post_settings[k];
        ASSERT_NE(row.password, nullptr);
        ASSERT_NE(row.salt, nullptr);
        EXPECT_STREQ(row.password, rfc[k].password);
        EXPECT_STREQ(row.salt, rfc[k].salt);
        EXPECT_EQ(row.Nfactor, rfc[k].Nfactor);
        EXPECT_EQ(row.rfactor, rfc[k].rfactor);
        EXPECT_EQ(row.pfactor, rfc[k].pfactor);
        EXPECT_EQ(bytes(post_vectors[k], 64), openssl_scrypt(row.password, row.salt, row.Nfactor,
                                                             row.rfactor, row.pfactor, 64));
    }
    EXPECT_EQ(post_settings[2].password, nullptr);
    EXPECT_EQ(post_settings[2].salt, nullptr);
}

TEST(SelfTestEqualCt, AnySingleByteDifferenceFailsAndEqualPasses) {
    EXPECT_EQ(scrypt_equal_ct(nullptr, nullptr, 0), 1u);
    for (size_t n : {1, 16, 32, 64}) {
        std::vector<uint8_t> a(n);
        for (size_t i = 0; i < n; i++) a[i] = (uint8_t)(i * 37 + 11);
        std::vector<uint8_t> b = a;
        EXPECT_EQ(scrypt_equal_ct(a.data(), b.data(), n), 1u) << n;
        for (size_t i = 0; i < n; i++) {
            for (uint8_t mask : {0x01, 0x80, 0xff}) {
                b[i] ^= mask;
                EXPECT_EQ(scrypt_equal_ct(a.data(), b.data(), n), 0u)
                    << "n " << n << " byte " << i << " mask " << int(mask);
                b[i] ^= mask;
            }
        }
    }
}

// Pages that fault on the first read; the fault handler notes which page was
// read and opens it, so the faulting load runs again and succeeds.
uint8_t *guard_page[2];
volatile sig_atomic_t guard_read[2];
size_t page_size;

void on_fault(int, siginfo_t *info, void *) {
    for (int g = 0; g < 2; g++) {
        uint8_t *addr = (uint8_t *)info->si_addr;
        if (addr >= guard_page[g] && addr < guard_page[g] + page_size) {
            guard_read[g] = 1;
            mprotect(guard_page[g], page_size, PROT_READ);
            return;
        }
    }
    signal(SIGSEGV, SIG_DFL);  // any other fault: let it end the process
}

// No early exit: after a difference in byte i, the comparison still reads the
// last byte of both strings.  Each string is laid out so that its last byte
// alone lies on a guarded page; an exit at the first difference would leave
// both guards untouched.  Runs in a child process (the fault handler stays
// out of the test runner, and a memcheck run of the runner does not see the
// planned faults); the child prints every miss and exits with status 0.
[[noreturn]] void check_last_byte_reads() {
    page_size = (size_t)sysconf(_SC_PAGESIZE);
    for (int g = 0; g < 2; g++) {
        void *m = mmap(nullptr, 2 * page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (m == MAP_FAILED) _Exit(2);
        guard_page[g] = (uint8_t *)m + page_size;
    }
    struct sigaction action = {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSEGV, &action, nullptr) != 0) _Exit(2);

    for (size_t n : {16, 32, 64}) {
        // i == n - 1 stands for "no difference".
        for (size_t i = 0; i < n; i++) {
            uint8_t *s[2];
            for (int g = 0; g < 2; g++) {
                mprotect(guard_page[g], page_size, PROT_READ | PROT_WRITE);
                s[g] = guard_page[g] - (n - 1);
                for (size_t j = 0; j < n; j++) s[g][j] = (uint8_t)(j * 37 + 11);
            }
            const bool differ = i < n - 1;
            if (differ) s[1][i] ^= 0x01;
            for (int g = 0; g < 2; g++) {
                guard_read[g] = 0;
                mprotect(guard_page[g], page_size, PROT_NONE);
            }
            const uint32_t equal = scrypt_equal_ct(s[0], s[1], n);
            if (equal != (differ ? 0u : 1u))
                fprintf(stderr, "n %zu byte %zu: result %u\n", n, i, equal);
            if (!(guard_read[0] && guard_read[1]))
                fprintf(stderr, "n %zu: last byte not read after a difference in byte %zu\n", n, i);
        }
    }
    _Exit(0);
}

TEST(SelfTestEqualCtDeathTest, ReadsTheLastByteOfBothStringsAfterAnyDifference) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check_last_byte_reads(), ExitedWithCode(0), Eq(""));
}

// Each first call runs in a child process of its own, re-executed from the
// start, so that the self-test flag and the buffer cache start empty.
class SelfTestFirstCallDeathTest : public testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SelfTestFirstCallDeathTest, CorrectLibraryReturnsSevenAndReportsNothing) {
    EXPECT_EXIT(observe::self_test_and_exit(), ExitedWithCode(7), Eq(self_test_log));
}

// The first call of the process, then a second one.  The self-test's buffers
// (indices 2 and 3 in the log) are kept for factors 9, 3, 4 and replaced for
// any others; the self-test runs before the range checks; the second call
// never runs it again.
TEST_F(SelfTestFirstCallDeathTest, FirstCallReusesOrReplacesSelfTestBuffers) {
    struct {
        observe::factors first, second;
        std::string log;  // after the self-test
    } cases[] = {
        {{9, 3, 4}, {2, 0, 0}, " | F2 F3 M1087 M319"},
        {{3, 0, 0}, {3, 0, 0}, " F2 F3 M2111 M319 |"},
        {{9, 3, 3}, {2, 0, 0}, " F2 F3 M1048639 M9279 | F4 F5 M1087 M319"},
        {{9, 2, 4}, {9, 3, 4}, " F2 F3 M524351 M8767 | F4 F5 M1048639 M17471"},
        {{31, 0, 0}, {2, 0, 0}, " <scrypt: N out of range> | F2 F3 M1087 M319"},
        {{0, 9, 0}, {2, 0, 0}, " <scrypt: r out of range> | F2 F3 M1087 M319"},
        {{0, 0, 26}, {2, 0, 0}, " <scrypt: p out of range> | F2 F3 M1087 M319"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "first call " << c.first.Nfactor << ", "
                                        << c.first.rfactor << ", " << c.first.pfactor);
        EXPECT_EXIT(observe::calls_and_exit({c.first, c.second}), ExitedWithCode(0),
                    Eq(self_test_log + c.log));
    }
}

}  // namespace
