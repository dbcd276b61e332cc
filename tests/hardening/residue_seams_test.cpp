// The residue probe's proof that it sees what it looks for, and every mixing
// form's share of the wipe.  In the test-only build, with the wipe at the end
// of each derivation switched off, the blocks of B0 are found (the table's
// first entry holds the last chunk of B0 as the form stored it: tangled for
// the vector forms, natural for the portable one); with the wipe on, in the
// same build, none are, whichever form mixed.  Likewise for what a call
// leaves on its stack and in the registers: with the clearing switched off
// the probe of call_traces.h finds the password-equivalent traces, with it
// on nothing.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>

#include <string>
#include <tuple>
#include <vector>

#include "api/call.h"
#include "call_traces.h"
#include "core/derive.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "hash/hash.h"
#include "residue_probe.h"
#include "scrypt-vornik.h"
#include "support/case_name.h"
#include "support/forms.h"

namespace {

using residue::derivation_case;
using residue::factors;
using residue::source;

const char password[] = "another password nobody uses";
const char salt[] = "with another salt";

// What the probe reports after a run: nothing with the wipe on; with it
// off, some blocks (the exit status counts them), `expected` among them.
void expect_found_unless_wiped(const child_result &r, bool wipe, const std::string &expected) {
    ASSERT_TRUE(r.exited);
    if (wipe) {
        EXPECT_EQ(r.status, 0) << r.output;
        return;
    }
    EXPECT_GT(r.status, 0);
    EXPECT_LT(r.status, 100) << r.output;
    EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;
}

// Every call of the process, the self-test's included, mixes with `only`.
void mix_only_with(const mix_form *only) {
    for (unsigned i = 0; i < scrypt_mix_form_count; i++) scrypt_mix_forms[i].romix = only->romix;
}

using form_and_case = std::tuple<std::string, derivation_case>;

class ResidueWithWipeSwitched : public testing::TestWithParam<form_and_case> {};

TEST_P(ResidueWithWipeSwitched, OffLeavesTheLastChunkInTheTableOnLeavesNothing) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const std::string &name = std::get<0>(GetParam());
    const factors f = std::get<1>(GetParam()).f;
    const mix_form *form = form_named(name.c_str());
    if (form == nullptr) GTEST_SKIP() << "no " << name << " form in this build";
    if (!scrypt_form_runs(form, detect_cpu()))
        GTEST_SKIP() << "this processor cannot run the " << name << " form";
    for (bool wipe : {false, true}) {
        SCOPED_TRACE(wipe ? "wipe on" : "wipe off");
        const child_result r = residue::look_after({{"the caller", password, salt, f}}, [&] {
            scrypt_wipe_work_buffers = wipe;
            mix_only_with(form);
            uint8_t out[64];
            scrypt((const uint8_t *)password, sizeof password - 1, (const uint8_t *)salt,
                   sizeof salt - 1, f.N, f.r, f.p, out, sizeof out);
            return 0;
        });
        expect_found_unless_wiped(r, wipe,
                                  "chunk " + std::to_string((1u << f.p) - 1) + " block 0 (" +
                                      (form->tangled ? "tangled" : "natural") + ")");
    }
}

INSTANTIATE_TEST_SUITE_P(FormsAndFactors, ResidueWithWipeSwitched,
                         testing::Combine(testing::Values(std::string("xop"), std::string("avx512"),
                                                          std::string("avx512tern"),
                                                          std::string("avx"), std::string("sse2"),
                                                          std::string("basic")),
                                          testing::ValuesIn(residue::derivation_cases)),
                         [](const testing::TestParamInfo<form_and_case> &info) {
                             return std::get<0>(info.param) + "_" +
                                    case_name(std::get<1>(info.param).what);
                         });

// A batch of two jobs: with the wipe off its tables hold the jobs' unmixed
// chunks; with it on, nothing is left.
TEST(ResidueOfABatchWithWipeSwitched, OffLeavesEachJobsChunkOnLeavesNothing) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const factors f = {9, 3, 0};
    const char other[] = "the batch's other password";
    for (bool wipe : {false, true}) {
        SCOPED_TRACE(wipe ? "wipe on" : "wipe off");
        const child_result r = residue::look_after(
            {{"the first job", password, salt, f}, {"the second job", other, salt, f}}, [&] {
                scrypt_wipe_work_buffers = wipe;
                uint8_t out[2][64];
                scrypt_job jobs[2] = {{(const uint8_t *)password, sizeof password - 1,
                                       (const uint8_t *)salt, sizeof salt - 1, out[0], 64, 1},
                                      {(const uint8_t *)other, sizeof other - 1,
                                       (const uint8_t *)salt, sizeof salt - 1, out[1], 64, 1}};
                return scrypt_derive_keys(jobs, 2, 1024, 8, 1, UINT64_MAX) == SCRYPT_OK ? 0 : 101;
            });
        // Which form mixes the two chunks (lanes or one at a time) is the
        // timing's choice, and the probe lists at most 64 hits: any block 0
        // of either job's chunk shows the wipe's work.
        expect_found_unless_wiped(r, wipe, "job, chunk 0 block 0 (");
    }
}

void ignore(const char *) {}

// The self-test's derivations: with the wipe off, the buffers that the first
// call's self-test leaves behind hold its B0; with the wipe on they do not.
TEST(ResidueOfTheSelfTestWithWipeSwitched, OffLeavesItsB0OnLeavesNothing) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    const std::vector<source> rows(std::begin(residue::self_test_rows),
                                   std::end(residue::self_test_rows));
    for (bool wipe : {false, true}) {
        SCOPED_TRACE(wipe ? "wipe on" : "wipe off");
        const child_result r = residue::look_after(rows, [&] {
            scrypt_wipe_work_buffers = wipe;
            scrypt_set_fatal_error(ignore);
            uint8_t out[1];
            scrypt(nullptr, 0, nullptr, 0, 31, 0, 0, out, sizeof out);  // self-test only
            return 0;
        });
        expect_found_unless_wiped(r, wipe, "self-test row 1, chunk 15 block 0 ");
    }
}

void derive_traced(const char *password, factors f) {
    uint8_t out[residue::call_out_len];
    scrypt((const uint8_t *)password, strlen(password), (const uint8_t *)residue::call_salt,
           sizeof residue::call_salt - 1, f.N, f.r, f.p, out, sizeof out);
}

class CallTracesWithClearingSwitched : public testing::TestWithParam<residue::call_case> {};

// What the probe must find with the clearing off, under gcc and clang
// alike: in the hash layer's dead frames the outer midstate, and, unless a
// signal's frame has overwritten the deepest of them, the last PBKDF2's inner
// digest and, where the portable compression runs, the outer pad (as bytes
// or as its message schedule, by the compiler).  The form with the
// processor's SHA-256 instructions keeps its schedule in registers, and
// whether the pad's bytes survive in a dead frame is then the compiler's
// choice (gcc's frames keep them, clang's do not).  (Each case prints every
// kind it found.)
std::vector<std::string> must_find(residue::moment when) {
    if (when == residue::moment::signal_after) return {"the outer midstate:"};
    std::vector<std::string> kinds = {"the outer midstate:", "an inner digest of the last PBKDF2:"};
    if (!(detect_cpu() & FEATURE_SHA)) kinds.push_back("the key block XOR 0x5c");
    return kinds;
}

TEST_P(CallTracesWithClearingSwitched, OffLeavesTracesOnLeavesNone) {
    if (const char *why = residue::unscannable()) GTEST_SKIP() << why;
    for (bool clear : {false, true}) {
        SCOPED_TRACE(clear ? "clearing on" : "clearing off");
        const child_result r = residue::look_after_call(
            GetParam(), derive_traced, [clear] { scrypt_clear_call_traces = clear; });
        ASSERT_TRUE(r.exited);
        if (clear) {
            EXPECT_EQ(r.status, 0) << r.output;
            continue;
        }
        EXPECT_GT(r.status, 0) << r.output;
        EXPECT_LT(r.status, 100) << r.output;
        for (const std::string &kind : must_find(GetParam().when))
            EXPECT_NE(r.output.find("found " + kind), std::string::npos) << kind << " not found:\n"
                                                                         << r.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, CallTracesWithClearingSwitched,
                         testing::ValuesIn(residue::call_cases), named_by_what());

// The depth that the end of a call zeroes covers what calls use: with the
// clearing off, a first call (self-test, lazy binding) and later ones, of
// either entry point, on a painted stack of the test's own write no deeper
// than SCRYPT_CALL_STACK_BYTES below the calling frame.
void derive_key_traced(const char *password, factors f) {
    uint8_t out[residue::call_out_len];
    residue::require_ok(scrypt_derive_key((const uint8_t *)password, strlen(password),
                                          (const uint8_t *)residue::call_salt,
                                          sizeof residue::call_salt - 1, uint64_t(2) << f.N,
                                          uint32_t(1) << f.r, uint32_t(1) << f.p, out, sizeof out),
                        "scrypt_derive_key");
}
// A batch of two jobs, whose chunks the lane forms mix.
void derive_keys_traced(const char *password, factors f) {
    uint8_t out[2][residue::call_out_len];
    scrypt_job jobs[2];
    for (scrypt_job &j : jobs)
        j = {(const uint8_t *)password,
             strlen(password),
             (const uint8_t *)residue::call_salt,
             sizeof residue::call_salt - 1,
             out[&j - jobs],
             sizeof out[0],
             1};
    residue::require_ok(scrypt_derive_keys(jobs, 2, uint64_t(2) << f.N, uint32_t(1) << f.r,
                                           uint32_t(1) << f.p, UINT64_MAX),
                        "scrypt_derive_keys");
}

uintptr_t calling_frame;
void (*painted_call)(const char *, factors);
void *call_painted(void *) {
    // The frame's own address, not a local's: AddressSanitizer moves
    // locals whose address is taken to a stack of its own.
    calling_frame = (uintptr_t)__builtin_frame_address(0);
    painted_call(residue::password_20, residue::call_factors);
    return nullptr;
}

// The calls measured in one process, in order: the first runs the
// self-test (and the lazy binding).
struct painted_call_step {
    const char *which;
    void (*call)(const char *, factors);
};

TEST(StackScrub, CoversTheDeepestCall) {
    const std::vector<painted_call_step> orders[] = {
        {{"first", derive_traced},
         {"later", derive_traced},
         {"later scrypt_derive_key()", derive_key_traced}},
        {{"first scrypt_derive_key()", derive_key_traced},
         {"later scrypt_derive_key()", derive_key_traced}},
        {{"first scrypt_derive_keys()", derive_keys_traced},
         {"later scrypt_derive_keys()", derive_keys_traced}},
    };
    for (const std::vector<painted_call_step> &steps : orders) {
        const child_result r = in_child([&steps] {
            scrypt_clear_call_traces = false;
            constexpr size_t bytes = 1 << 20;
            uint8_t *stack = (uint8_t *)mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
            if (stack == MAP_FAILED) return 101;
            size_t deepest = 0;
            for (const painted_call_step &step : steps) {
                painted_call = step.call;
                memset(stack, 0xa5, bytes);
                pthread_attr_t attr;
                pthread_attr_init(&attr);
                pthread_attr_setstack(&attr, stack, bytes);
                pthread_t t;
                if (pthread_create(&t, &attr, call_painted, nullptr) != 0) return 102;
                pthread_join(t, nullptr);
                size_t i = 0;
                while (stack[i] == 0xa5) i++;
                const size_t depth = calling_frame - (uintptr_t)(stack + i);
                fprintf(stderr, "%s call: %zu bytes\n", step.which, depth);
                deepest = depth > deepest ? depth : deepest;
            }
            return deepest < SCRYPT_CALL_STACK_BYTES ? 0 : 1;
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0) << r.output;
        printf("stack used (scrubbed: %d bytes):\n%s", int(SCRYPT_CALL_STACK_BYTES),
               r.output.c_str());
    }
}

}  // namespace
