// The fatal-error handler: a returning handler, failed allocations, and the
// null handler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/driver.h"
#include "oracle.h"
#include "rejected.h"
#include "scrypt-vornik.h"

namespace {

std::vector<std::string> reports;
void record(const char *message) {
    reports.push_back(message);
}

class Handler : public ::testing::Test {
  protected:
    void SetUp() override {
        // Let the self-test pass before any handler of ours is installed.
        uint8_t out[1];
        scrypt(nullptr, 0, nullptr, 0, 0, 0, 0, out, 1);
        reports.clear();
        scrypt_set_fatal_error(record);
    }
    void TearDown() override { scrypt_set_fatal_error(nullptr); }
};

#include "support/build_kind.h"

TEST_F(Handler, ReturningHandlerAfterCheckFailureDerivesNothing) {
    // Buffers of a good call stay as they were.
    uint8_t out[16];
    scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"s", 1, 2, 1, 0, out, sizeof out);
    const aligned_buffer held_V = V, held_YX = YX;
    for (const call_case &c : rejected_calls) {
        reports.clear();
        bytes canary(16, 0x5a);
        scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"s", 1, (uint8_t)c.N, (uint8_t)c.r,
               (uint8_t)c.p, canary.data(), (size_t)c.len);
        EXPECT_EQ(reports, std::vector<std::string>{c.message});
        EXPECT_EQ(canary, bytes(16, 0x5a)) << c.message;
        EXPECT_EQ(V.raw, held_V.raw);
        EXPECT_EQ(YX.raw, held_YX.raw);
        EXPECT_EQ(last_Nfactor, 2);
    }
}

// A failed allocation leaves nothing held and the factors unset, so the next
// call allocates afresh and derives correctly.
TEST_F(Handler, ReturningHandlerAfterOutOfMemory) {
#ifdef SCRYPT_TEST_ASAN
    GTEST_SKIP() << "AddressSanitizer's allocator does not fail these requests cleanly";
#endif
    struct {
        unsigned N, r, p;
        const char *what;
    } cases[] = {
        {30, 0, 0, "table too large"},
        {0, 4, 25, "work buffer too large, after the table was allocated"},
    };
    for (auto &c : cases) {
        reports.clear();
        bytes out(32, 0x5a);
        scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"s", 1, (uint8_t)c.N, (uint8_t)c.r,
               (uint8_t)c.p, out.data(), out.size());
        EXPECT_EQ(reports, std::vector<std::string>{"scrypt: out of memory"}) << c.what;
        EXPECT_EQ(out, bytes(32, 0x5a)) << c.what;
        EXPECT_EQ(V.raw, nullptr) << c.what;
        EXPECT_EQ(YX.raw, nullptr) << c.what;
        EXPECT_EQ(last_Nfactor, -1);
        EXPECT_EQ(last_rfactor, -1);
        EXPECT_EQ(last_pfactor, -1);

        reports.clear();
        scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"s", 1, 3, 1, 1, out.data(), out.size());
        EXPECT_TRUE(reports.empty());
        EXPECT_EQ(out, openssl_scrypt(text("pw"), text("s"), 3, 1, 1, 32)) << c.what;
    }
}

void report_after_null_handler() {
    scrypt_set_fatal_error(record);
    scrypt_set_fatal_error(nullptr);
    uint8_t out[1];
    scrypt(nullptr, 0, nullptr, 0, 0, 9, 0, out, 1);
    exit(0);
}

TEST(HandlerDeathTest, NullHandlerReinstatesTheDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(report_after_null_handler(), ::testing::ExitedWithCode(1),
                "^scrypt: r out of range\n$");
}

}  // namespace
