// scrypt_calibrate() on this machine, through the shipped archive: only the
// bounds that no load on the machine can break (the memory, r, the ranges,
// the refusals); how close the time comes is measured by the benchmark of
// the command-line program, not here.
#include <gtest/gtest.h>
#include <math.h>
#include <time.h>

#include "scrypt-vornik.h"

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The memory bound holds whatever the clock says, and the call returns well
// within its budget (2 T, plus the self-test, with a wide margin for a busy
// machine).
TEST(CalibrateReal, ChoiceWithinMemoryAndCallWithinBudget) {
    const struct {
        double T;
        uint64_t max_memory;
    } cases[] = {{0.05, uint64_t(1) << 30}, {0.05, 1u << 20}, {0.02, 2048}, {0.001, 4u << 20}};
    for (auto &k : cases) {
        SCOPED_TRACE(testing::Message() << k.T << " " << k.max_memory);
        uint64_t N = 0;
        uint32_t r = 0, p = 0;
        const double t0 = now();
        ASSERT_EQ(scrypt_calibrate(k.T, k.max_memory, &N, &r, &p), SCRYPT_OK);
        const double took = now() - t0;
        EXPECT_EQ(r, 8u);
        EXPECT_GE(N, 2u);
        EXPECT_EQ(N & (N - 1), 0u);
        EXPECT_LE(N * 128 * r, k.max_memory);
        EXPECT_GE(p, 1u);
        EXPECT_LE(uint64_t(p) * 128 * r, k.max_memory);
        EXPECT_LT(uint64_t(r) * p, uint64_t(1) << 30);
        EXPECT_LT(took, 10 * k.T + 1.0);
        // The choice derives.
        uint8_t key[32];
        EXPECT_EQ(scrypt_derive_key((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, N, r, p,
                                    key, sizeof key),
                  SCRYPT_OK);
    }
}

// Bad arguments: refused, outputs untouched.
TEST(CalibrateReal, Refusals) {
    uint64_t N = 7;
    uint32_t r = 7, p = 7;
    for (double T : {0.0, -0.1, double(NAN), double(INFINITY)})
        EXPECT_EQ(scrypt_calibrate(T, 1u << 20, &N, &r, &p), SCRYPT_ERR_PARAMETER) << T;
    EXPECT_EQ(scrypt_calibrate(0.01, 2047, &N, &r, &p), SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(scrypt_calibrate(0.01, 1u << 20, nullptr, &r, &p), SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(scrypt_calibrate(0.01, 1u << 20, &N, nullptr, &p), SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(scrypt_calibrate(0.01, 1u << 20, &N, &r, nullptr), SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(N, 7u);
    EXPECT_EQ(r, 7u);
    EXPECT_EQ(p, 7u);
}

}  // namespace
