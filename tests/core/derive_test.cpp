// Whole derivations against OpenSSL's EVP_PBE_scrypt, and the factor checks.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/resource.h>

#include "oracle.h"
#include "rejected.h"
#include "scrypt-vornik.h"

namespace {

bytes derive(const bytes &password, const bytes &salt, unsigned Nfactor, unsigned rfactor,
             unsigned pfactor, size_t len) {
    bytes out(len);
    scrypt(password.data(), password.size(), salt.data(), salt.size(), (uint8_t)Nfactor,
           (uint8_t)rfactor, (uint8_t)pfactor, out.data(), len);
    return out;
}

TEST(Derive, RfcVectors) {
    struct {
        const char *password, *salt;
        unsigned Nfactor, rfactor, pfactor;
    } vectors[] = {
        {"", "", 3, 0, 0},
        {"password", "NaCl", 9, 3, 4},
        {"pleaseletmein", "SodiumChloride", 13, 3, 0},
    };
    for (auto &v : vectors) {
        bytes pw = text(v.password), salt = text(v.salt);
        EXPECT_EQ(derive(pw, salt, v.Nfactor, v.rfactor, v.pfactor, 64),
                  openssl_scrypt(pw, salt, v.Nfactor, v.rfactor, v.pfactor, 64))
            << v.password;
    }
}

// Random passwords, salts and output lengths over small factor sets that
// together cover every factor, in an order that makes the buffer cache both
// reuse and replace its buffers.
TEST(Derive, RandomInputsMatchOpenSSL) {
    struct factors {
        unsigned N, r, p;
    };
    const factors sets[] = {{0, 0, 0}, {0, 0, 0}, {1, 1, 1},  {4, 0, 3}, {5, 2, 0}, {0, 8, 0},
                            {2, 8, 1}, {6, 1, 2}, {10, 0, 0}, {3, 3, 5}, {0, 0, 7}, {7, 4, 1}};
    std::mt19937_64 rng(4);
    for (int round = 0; round < 3; round++) {
        for (const factors &f : sets) {
            bytes pw = random_bytes(rng, rng() % 100), salt = random_bytes(rng, rng() % 100);
            size_t len = rng() % 3 == 0 ? 0 : 1 + rng() % 300;
            ASSERT_EQ(derive(pw, salt, f.N, f.r, f.p, len),
                      openssl_scrypt(pw, salt, f.N, f.r, f.p, len))
                << "factors " << f.N << "," << f.r << "," << f.p << " length " << len;
        }
    }
}

TEST(Derive, EmptyOutputWritesNothing) {
    uint8_t canary = 0x5a;
    scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 2, 1, 1, &canary, 0);
    EXPECT_EQ(canary, 0x5a);
    scrypt(nullptr, 0, nullptr, 0, 0, 0, 0, nullptr, 0);  // null with zero lengths is fine
}

TEST(Derive, LongOutput) {
    const bytes pw = text("pw"), salt = text("salt");
    EXPECT_EQ(derive(pw, salt, 2, 1, 0, 100000), openssl_scrypt(pw, salt, 2, 1, 0, 100000));
}

// Each check in a fresh child that uses the default handler; the address
// space is limited so that factors which pass the checks fail cleanly at
// allocation instead of deriving for minutes.
void call_limited(unsigned Nfactor, unsigned rfactor, unsigned pfactor, uint64_t out_len) {
    struct rlimit lim = {size_t(2) << 30, size_t(2) << 30};
    setrlimit(RLIMIT_AS, &lim);
    static uint8_t out[64];
    scrypt((const uint8_t *)"p", 1, (const uint8_t *)"s", 1, (uint8_t)Nfactor, (uint8_t)rfactor,
           (uint8_t)pfactor, out, (size_t)out_len);
    exit(0);
}

#include "support/build_kind.h"

TEST(DeriveDeathTest, FactorAndLengthChecks) {
#ifdef SCRYPT_TEST_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves the address space that this test limits";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Boundary values pass the checks and reach the allocation.
    const call_case boundaries[] = {
        {30, 0, 0, 64, "scrypt: out of memory"},
        {0, 0, 25, 64, "scrypt: out of memory"},
        {0, 4, 25, 64, "scrypt: out of memory"},
        {30, 8, 21, max_output_len, "scrypt: out of memory"},
    };
    std::vector<call_case> cases(std::begin(rejected_calls), std::end(rejected_calls));
    cases.insert(cases.end(), std::begin(boundaries), std::end(boundaries));
    for (auto &c : cases) {
        std::string pattern = std::string("^") + c.message + "\n$";
        EXPECT_EXIT(call_limited(c.N, c.r, c.p, c.len), ::testing::ExitedWithCode(1), pattern)
            << c.N << "," << c.r << "," << c.p << " length " << c.len;
    }
}

}  // namespace
