// The self-test's failure paths, in the test-only build whose known answers
// and form table are writable: each child process plants its faults and then
// makes the process's first call.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "api/post.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "observe.h"
#include "scrypt-vornik.h"
#include "selftest/selftest.h"
#include "support/forms.h"

namespace {

using testing::Eq;
using testing::ExitedWithCode;

const std::string self_test_log = "M2111 M319 F0 F1 M1048639 M17471";
const std::string mix_text = "scrypt: mix function power-on-self-test failed";
const std::string hash_text = "scrypt: hash function power-on-self-test failed";
const std::string derivation_text = "scrypt: scrypt power-on-self-test failed";
const std::string mix = "<" + mix_text + ">", hash = "<" + hash_text + ">",
                  derivation = "<" + derivation_text + ">";
// What the calls {9, 3, 4} then {2, 0, 0} do after the self-test: the first
// keeps its buffers, the second replaces them and runs no self-test.
const std::string after_first_call = " | F2 F3 M1087 M319";

enum fault : unsigned { MIX = 1, HASH = 2, ROW0 = 4, ROW1 = 8 };

// One flipped bit in a known answer makes its sub-test fail.
void plant(unsigned faults) {
    if (faults & MIX) expected[0] ^= 0x80;
    if (faults & HASH) post_hash_expected[31] ^= 0x01;
    if (faults & ROW0) post_vectors[0][0] ^= 0x01;
    if (faults & ROW1) post_vectors[1][63] ^= 0x80;
}

chunkmix_function real_chunkmix;

// The real form with one wrong bit in the compared words: position 3 of the
// last block holds word 63 in tangled order, position 15 in natural order
// (the other position holds word 51, which the test does not look at).
void broken_chunkmix(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r) {
    real_chunkmix(Bout, Bin, Bxor, r);
    uint32_t *last = Bout + 32 * r - 16;
    last[3] ^= 0x100;
    last[15] ^= 0x100;
}

romix_function real_romix;

// The real ROMix with one wrong bit in its result: a derivation that ran it
// would give a wrong key.
void broken_romix(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r) {
    real_romix(X, Y, V, N, r);
    X[0] ^= 1;
}

void must_not_run(uint32_t *, const uint32_t *, const uint32_t *, uint32_t) {
    abort();
}
void must_not_run_lanes(uint32_t *const *, uint32_t *const *, uint32_t *, uint32_t, uint32_t,
                        uint32_t) {
    abort();
}

// Breaks both entry points of a form: its ChunkMix fails the known answer,
// and its ROMix would derive wrong keys if a call selected the form anyway.
void break_form(mix_form *f) {
    real_chunkmix = f->chunkmix;
    f->chunkmix = broken_chunkmix;
    real_romix = f->romix;
    f->romix = broken_romix;
}

class SelfTestSeamsDeathTest : public testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Every combination of failing sub-tests, with a handler that records and
// returns, installed before the first call: the result has exactly the failed
// bits cleared; each failed sub-test is reported once, in the order mix,
// hash, derivation; only a result of 0 adds the final message; the key is
// still derived; the second call runs no self-test.  Row 1 runs (its
// allocations appear) also when row 0 has failed, and either row failing
// fails the derivation test.
TEST_F(SelfTestSeamsDeathTest, FailedSubTestsAreReportedOnceInOrder) {
    struct {
        unsigned faults;
        int result;
        std::string log;
    } cases[] = {
        {0, 7, self_test_log},
        {MIX, 6, mix + " " + self_test_log},
        {HASH, 5, hash + " " + self_test_log},
        {ROW0, 3, self_test_log + " " + derivation},
        {ROW1, 3, self_test_log + " " + derivation},
        {ROW0 | ROW1, 3, self_test_log + " " + derivation},
        {MIX | HASH, 4, mix + " " + hash + " " + self_test_log},
        {MIX | ROW1, 2, mix + " " + self_test_log + " " + derivation},
        {MIX | HASH | ROW0, 0, mix + " " + hash + " " + self_test_log + " " + derivation},
        {MIX | HASH | ROW1, 0, mix + " " + hash + " " + self_test_log + " " + derivation},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "faults " << c.faults);
        EXPECT_EXIT((plant(c.faults), observe::self_test_and_exit()), ExitedWithCode(c.result),
                    Eq(c.log));
        const std::string final_report =
            c.result == 0 ? " <scrypt: power on self test failed>" : "";
        EXPECT_EXIT((plant(c.faults), observe::calls_and_exit({{9, 3, 4}, {2, 0, 0}})),
                    ExitedWithCode(0), Eq(c.log + final_report + after_first_call));
    }
}

// The same faults with scrypt_derive_key() first: it runs the self-test in
// buffers of its own (the same requests as scrypt()'s run, both released at
// its end), reports nothing, and returns SCRYPT_ERR_SELFTEST, every time,
// when a part failed.
// The next scrypt() call makes the reports, in the order and number that a
// scrypt() call that ran the self-test makes, before it derives; later calls
// make none.
TEST_F(SelfTestSeamsDeathTest, UnderDeriveKeyTheNextScryptCallReportsOnce) {
    const std::string self_test_end = " F2 F3", own_call = " M6207 M2367";  // N 16, r 3, p 5
    struct {
        unsigned faults;
        std::string messages;  // what scrypt() reports, as when it runs the self-test
    } cases[] = {
        {0, ""},
        {MIX, " " + mix},
        {HASH | ROW1, " " + hash + " " + derivation},
        {MIX | HASH | ROW0,
         " " + mix + " " + hash + " " + derivation + " <scrypt: power on self test failed>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "faults " << c.faults);
        const bool failed = c.faults != 0;
        // Buffers: the self-test's 0..3, derive_key's own 4 and 5 when it
        // derives, then scrypt()'s shared ones, replaced by the last call.
        const std::string last = failed ? "4 F5 M1087 M319" : "6 F7 M1087 M319";
        EXPECT_EXIT((plant(c.faults),
                     observe::derive_key_then_calls_and_exit({{9, 3, 4}, {2, 0, 0}, {2, 0, 0}})),
                    ExitedWithCode(failed ? 30 : 0),
                    Eq(self_test_log + self_test_end + (failed ? "" : own_call) + " |" +
                       c.messages + " M1048639 M17471 | F" + last + " |"));
    }
}

// With the default handler, that next scrypt() call ends the process with
// the first failed part's message, as a first scrypt() call would.
TEST_F(SelfTestSeamsDeathTest, UnderDeriveKeyTheDefaultHandlerEndsTheNextScryptCall) {
    for (const unsigned faults : {unsigned(MIX), unsigned(HASH | ROW1), unsigned(ROW0)}) {
        SCOPED_TRACE(testing::Message() << "faults " << faults);
        const std::string text = faults & MIX    ? mix_text
                                 : faults & HASH ? hash_text
                                                 : derivation_text;
        EXPECT_EXIT(
            {
                plant(faults);
                uint8_t out[64];
                if (scrypt_derive_key((const uint8_t *)"pw", 2, nullptr, 0, 16, 3, 5, out, 64) !=
                    SCRYPT_ERR_SELFTEST)
                    _Exit(2);
                scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 2, 1, 0, out, 64);
                _Exit(0);
            },
            ExitedWithCode(1), Eq(text + "\n"));
    }
}

// A batch after a failed self-test: every job's status SCRYPT_ERR_SELFTEST,
// the call's too, and no output written.
bool batch_fails_with_self_test_status() {
    uint8_t outs[2][16] = {};
    scrypt_job jobs[2] = {{nullptr, 0, nullptr, 0, outs[0], 16, 1},
                          {nullptr, 0, nullptr, 0, outs[1], 16, 1}};
    bool right = scrypt_derive_keys(jobs, 2, 16, 3, 5, UINT64_MAX) == SCRYPT_ERR_SELFTEST;
    for (const scrypt_job &j : jobs) right = right && j.status == SCRYPT_ERR_SELFTEST;
    for (const auto &o : outs)
        for (uint8_t b : o) right = right && b == 0;
    return right;
}

// scrypt() first, with a returning handler: it reports as always, and every
// scrypt_derive_key() call after it returns SCRYPT_ERR_SELFTEST, whatever its
// parameters, without a report, as does every job of a batch; later scrypt()
// calls report nothing more.
TEST_F(SelfTestSeamsDeathTest, AfterScryptsFailedSelfTestDeriveKeyReturnsTheStatus) {
    EXPECT_EXIT(
        {
            plant(HASH);
            scrypt_set_fatal_error(observe::record_message);
            observe::start();
            uint8_t out[64];
            scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 2, 1, 0, out, 64);
            observe::stop();
            observe::mark();
            int bad = 0;
            for (uint64_t N : {16, 3, 0})
                bad += scrypt_derive_key(nullptr, 0, nullptr, 0, N, 3, 5, out, 64) !=
                       SCRYPT_ERR_SELFTEST;
            bad += batch_fails_with_self_test_status() ? 0 : 1;
            scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 2, 1, 0, out, 64);
            fputs(observe::log().c_str(), stderr);
            _Exit(bad);
        },
        ExitedWithCode(0), Eq(hash + " " + self_test_log + " F2 F3 M2111 M575 |"));
}

// A first call with an out-of-range factor: the self-test's report comes
// before the range report.
TEST_F(SelfTestSeamsDeathTest, SelfTestReportsBeforeTheRangeCheck) {
    EXPECT_EXIT((plant(HASH), observe::calls_and_exit({{0, 0, 26}})), ExitedWithCode(0),
                Eq(hash + " " + self_test_log + " <scrypt: p out of range>"));
}

// With the default handler the first failed sub-test ends the process with
// status 1 and its message; later sub-tests do not run.
TEST_F(SelfTestSeamsDeathTest, DefaultHandlerEndsTheProcessAtTheFirstFailure) {
    struct {
        unsigned faults;
        std::string text;
    } cases[] = {
        {MIX, mix_text},
        {HASH, hash_text},
        {ROW0, derivation_text},
        {HASH | ROW1, hash_text},
        {MIX | HASH | ROW0 | ROW1, mix_text},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "faults " << c.faults);
        EXPECT_EXIT(
            {
                plant(c.faults);
                uint8_t out[64];
                scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 9, 3, 4, out, 64);
                _Exit(0);
            },
            ExitedWithCode(1), Eq(c.text + "\n"));
    }
}

// One wrong mixing form that the processor runs: exactly one mix report and
// a result of 6; scrypt() reports nothing more and, since a form that failed
// is never selected (by the self-test's rows or by any later call), every
// key is right.
class SelfTestFormDeathTest : public SelfTestSeamsDeathTest,
                              public testing::WithParamInterface<const char *> {};

TEST_P(SelfTestFormDeathTest, OneWrongFormGivesOneMixReport) {
    mix_form *f = form_named(GetParam());
    if (f == nullptr) GTEST_SKIP() << "no " << GetParam() << " form in this build";
    if (!scrypt_form_runs(f, detect_cpu()))
        GTEST_SKIP() << "this processor cannot run the " << GetParam() << " form";
    EXPECT_EXIT((break_form(f), observe::self_test_and_exit()), ExitedWithCode(6),
                Eq(mix + " " + self_test_log));
    EXPECT_EXIT((break_form(f), observe::calls_and_exit({{9, 3, 4}, {2, 0, 0}})), ExitedWithCode(0),
                Eq(mix + " " + self_test_log + after_first_call));
}

INSTANTIATE_TEST_SUITE_P(SelfTest, SelfTestFormDeathTest,
                         testing::Values("xop", "avx512", "avx512tern", "avx", "sse2", "basic"),
                         [](const auto &info) { return std::string(info.param); });

// One wrong lane form that the processor runs: one mix report and a result
// of 6, as for a single form; the form is marked failed, and no group of
// any size is planned on it.
romix_lanes_function real_lanes;
void broken_lanes(uint32_t *const *X, uint32_t *const *V, uint32_t *work, uint32_t count,
                  uint32_t N, uint32_t r) {
    real_lanes(X, V, work, count, N, r);
    X[count - 1][0] ^= 1;
}
lane_form *break_lane_form(const char *name) {
    for (unsigned i = 0; i < scrypt_lane_form_count; i++)
        if (strcmp(scrypt_lane_forms[i].name, name) == 0) {
            real_lanes = scrypt_lane_forms[i].romix;
            scrypt_lane_forms[i].romix = broken_lanes;
            return &scrypt_lane_forms[i];
        }
    return nullptr;
}

class SelfTestLaneFormDeathTest : public SelfTestSeamsDeathTest,
                                  public testing::WithParamInterface<const char *> {};

TEST_P(SelfTestLaneFormDeathTest, OneWrongLaneFormGivesOneMixReportAndIsNeverPlanned) {
    const lane_form *f = nullptr;
    for (unsigned i = 0; i < scrypt_lane_form_count; i++)
        if (strcmp(scrypt_lane_forms[i].name, GetParam()) == 0) f = &scrypt_lane_forms[i];
    if (f == nullptr) GTEST_SKIP() << "no " << GetParam() << " lane form in this build";
    if (!scrypt_lane_form_runs(f, detect_cpu()))
        GTEST_SKIP() << "this processor cannot run the " << GetParam() << " lane form";
    EXPECT_EXIT((break_lane_form(GetParam()), observe::self_test_and_exit()), ExitedWithCode(6),
                Eq(mix + " " + self_test_log));
    EXPECT_EXIT(
        {
            const lane_form *broken = break_lane_form(GetParam());
            scrypt_set_fatal_error(observe::record_message);
            scrypt_power_on_self_test();
            int status = (scrypt_lane_ranking.failed >> (broken - scrypt_lane_forms) & 1) ? 0 : 2;
            for (uint64_t waiting = 1; waiting <= 64; waiting++)
                if (scrypt_plan_lanes(detect_cpu(), waiting).form == broken) status = 3;
            _Exit(status);
        },
        ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(SelfTest, SelfTestLaneFormDeathTest,
                         testing::Values("avx512", "avx2", "sse2"),
                         [](const auto &info) { return std::string(info.param); });

// A processor that reports none of the vector features: only the portable
// form is tested (a vector form that ran would abort), and the self-test
// passes.
TEST_F(SelfTestSeamsDeathTest, OnlyFormsTheProcessorRunsAreTested) {
    EXPECT_EXIT(
        {
            for (unsigned i = 0; i < scrypt_mix_form_count; i++) {
                if (scrypt_mix_forms[i].required == 0) continue;
                scrypt_mix_forms[i].required = uint64_t(1) << 63;  // never reported
                scrypt_mix_forms[i].chunkmix = must_not_run;
            }
            for (unsigned i = 0; i < scrypt_lane_form_count; i++) {
                scrypt_lane_forms[i].required = uint64_t(1) << 63;
                scrypt_lane_forms[i].romix = must_not_run_lanes;
            }
            observe::self_test_and_exit();
        },
        ExitedWithCode(7), Eq(self_test_log));
}

}  // namespace
