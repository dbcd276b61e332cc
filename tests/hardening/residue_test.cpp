// What a derivation leaves in memory, seen from outside the shipped archive:
// after scrypt() or scrypt_derive_key() returns, no block of B0 (the state
// that ROMix starts from), in either word order, is left anywhere in the
// process's writable memory, neither from the caller's derivation nor from
// the self-test's.  Nor does one call leave anything password-equivalent on
// its stack, in the registers or anywhere else (call_traces.h).
// residue_seams_test shows that the probes do find all of this when the wipe
// and the clearing are switched off.
#include <gtest/gtest.h>

#include "call_traces.h"
#include "residue_probe.h"
#include "scrypt-vornik.h"
#include "support/case_name.h"

namespace {

using residue::derivation_case;
using residue::factors;
using residue::source;

const char password[] = "a password nobody else uses";
const char salt[] = "and its salt";

void derive(factors f) {
    uint8_t out[64];
    scrypt((const uint8_t *)password, sizeof password - 1, (const uint8_t *)salt, sizeof salt - 1,
           f.N, f.r, f.p, out, sizeof out);
}

class Residue : public testing::TestWithParam<derivation_case> {};

TEST_P(Residue, NoBlockOfB0IsLeftAfterTheCall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const factors f = GetParam().f;
    const child_result r = residue::look_after({{"the caller", password, salt, f}}, [f] {
        derive(f);
        return 0;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Factors, Residue, testing::ValuesIn(residue::derivation_cases),
                         named_by_what());

// The same through scrypt_derive_key(), whose buffers are the calling
// thread's own: as the first call of the process it also runs the
// self-test (in buffers of its own), and no block of the self-test's B0 is
// left either.
void derive_key(factors f) {
    uint8_t out[64];
    residue::require_ok(
        scrypt_derive_key((const uint8_t *)password, sizeof password - 1, (const uint8_t *)salt,
                          sizeof salt - 1, uint64_t(2) << f.N, uint32_t(1) << f.r,
                          uint32_t(1) << f.p, out, sizeof out),
        "scrypt_derive_key");
}

class ResidueOfDeriveKey : public testing::TestWithParam<derivation_case> {};

TEST_P(ResidueOfDeriveKey, NoBlockOfB0IsLeftAfterTheCall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const factors f = GetParam().f;
    std::vector<source> sources(std::begin(residue::self_test_rows),
                                std::end(residue::self_test_rows));
    sources.push_back({"the caller", password, salt, f});
    const child_result r = residue::look_after(sources, [f] {
        derive_key(f);
        return 0;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Factors, ResidueOfDeriveKey, testing::ValuesIn(residue::derivation_cases),
                         named_by_what());

// The same through scrypt_derive_keys(): a batch of three jobs, mixed side
// by side in as many tables as they have chunks (up to 16), leaves no block
// of any job's B0, nor of the self-test's it ran first.
const char *const batch_passwords[] = {"first of the batch", "second of the batch",
                                       "third of the batch"};

int derive_keys(factors f) {
    uint8_t out[3][64];
    scrypt_job jobs[3];
    for (unsigned i = 0; i < 3; i++)
        jobs[i] = {(const uint8_t *)batch_passwords[i],
                   strlen(batch_passwords[i]),
                   (const uint8_t *)salt,
                   sizeof salt - 1,
                   out[i],
                   sizeof out[i],
                   1};
    return scrypt_derive_keys(jobs, 3, uint64_t(2) << f.N, uint32_t(1) << f.r, uint32_t(1) << f.p,
                              UINT64_MAX) == SCRYPT_OK
               ? 0
               : 101;
}

class ResidueOfDeriveKeys : public testing::TestWithParam<derivation_case> {};

TEST_P(ResidueOfDeriveKeys, NoBlockOfAnyJobsB0IsLeftAfterTheCall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const factors f = GetParam().f;
    std::vector<source> sources(std::begin(residue::self_test_rows),
                                std::end(residue::self_test_rows));
    for (const char *pw : batch_passwords) sources.push_back({pw, pw, salt, f});
    const child_result r = residue::look_after(sources, [f] { return derive_keys(f); });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Factors, ResidueOfDeriveKeys, testing::ValuesIn(residue::derivation_cases),
                         named_by_what());

// The first call of a process runs the self-test, whose two derivations go
// through the same buffers.  A returning handler and an out-of-range factor
// stop the call right after the self-test, so the buffers still hold what
// its last derivation left.
std::vector<std::string> reports;
void record(const char *message) {
    reports.push_back(message);
}

TEST(ResidueOfTheSelfTest, NoBlockOfItsB0IsLeft) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const std::vector<source> rows(std::begin(residue::self_test_rows),
                                   std::end(residue::self_test_rows));
    const child_result r = residue::look_after(rows, [] {
        scrypt_set_fatal_error(record);
        derive({31, 0, 0});
        return reports == std::vector<std::string>{"scrypt: N out of range"} ? 0 : 101;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

void derive_traced(const char *password, factors f) {
    uint8_t out[residue::call_out_len];
    scrypt((const uint8_t *)password, strlen(password), (const uint8_t *)residue::call_salt,
           sizeof residue::call_salt - 1, f.N, f.r, f.p, out, sizeof out);
}

class CallTraces : public testing::TestWithParam<residue::call_case> {};

TEST_P(CallTraces, NothingPasswordEquivalentIsLeftAfterTheCall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const child_result r = residue::look_after_call(GetParam(), derive_traced, [] {});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

// The same through scrypt_derive_key(), which ends its calls the same way.
void derive_key_traced(const char *password, factors f) {
    uint8_t out[residue::call_out_len];
    residue::require_ok(scrypt_derive_key((const uint8_t *)password, strlen(password),
                                          (const uint8_t *)residue::call_salt,
                                          sizeof residue::call_salt - 1, uint64_t(2) << f.N,
                                          uint32_t(1) << f.r, uint32_t(1) << f.p, out, sizeof out),
                        "scrypt_derive_key");
}

TEST_P(CallTraces, NothingPasswordEquivalentIsLeftAfterADeriveKeyCall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const child_result r = residue::look_after_call(GetParam(), derive_key_traced, [] {});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

// The same through scrypt_derive_keys(), the traced password one of two
// jobs, so that the lane forms mix its chunks.
void derive_keys_traced(const char *password, factors f) {
    uint8_t out[2][residue::call_out_len];
    const char other[] = "the other job";
    scrypt_job jobs[2] = {
        {(const uint8_t *)password, strlen(password), (const uint8_t *)residue::call_salt,
         sizeof residue::call_salt - 1, out[0], sizeof out[0], 1},
        {(const uint8_t *)other, sizeof other - 1, (const uint8_t *)residue::call_salt,
         sizeof residue::call_salt - 1, out[1], sizeof out[1], 1}};
    residue::require_ok(scrypt_derive_keys(jobs, 2, uint64_t(2) << f.N, uint32_t(1) << f.r,
                                           uint32_t(1) << f.p, UINT64_MAX),
                        "scrypt_derive_keys");
}

TEST_P(CallTraces, NothingPasswordEquivalentIsLeftAfterADeriveKeysCall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const child_result r = residue::look_after_call(GetParam(), derive_keys_traced, [] {});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

// The control for the registers: a "call" that only loads the password into
// xmm5 (and, with AVX-512, zmm17) is caught by the dump, on every moment.
TEST_P(CallTraces, ProbeFindsAPasswordLeftInARegister) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    residue::call_case c = GetParam();
    c.password = residue::password_64;
    const child_result r = residue::look_after_call(
        c, [](const char *password, factors) { residue::plant_in_registers(password); }, [] {});
    ASSERT_TRUE(r.exited);
    EXPECT_GT(r.status, 0) << r.output;
    EXPECT_LT(r.status, 100) << r.output;
    EXPECT_NE(r.output.find("found the password:"), std::string::npos) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Moments, CallTraces, testing::ValuesIn(residue::call_cases),
                         named_by_what());

// The control: without any call the probe finds nothing, so it does not
// find its own needles.
TEST(ResidueProbe, FindsNothingWithoutACall) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    std::vector<source> all(std::begin(residue::self_test_rows), std::end(residue::self_test_rows));
    for (const derivation_case &c : residue::derivation_cases)
        all.push_back({"the caller", password, salt, c.f});
    const child_result r = residue::look_after(all, [] { return 0; });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
}

}  // namespace
