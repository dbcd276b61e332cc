// The fatal-error handler: a returning handler and the null handler.  Failed
// allocations are tested in tests/hardening/misuse_test.cpp, in a child
// process under an address-space cap.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oracle.h"
#include "rejected.h"
#include "scrypt-vornik.h"
#include "support/shared_buffers.h"

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
        EXPECT_EQ(held_factors().N, 2);
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
