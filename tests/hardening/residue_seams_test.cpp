// The residue probe's proof that it sees what it looks for, and every mixing
// form's share of the wipe.  In the test-only build, with the wipe at the end
// of each derivation switched off, the blocks of B0 are found (the table's
// first entry holds the last chunk of B0 as the form stored it: tangled for
// the vector forms, natural for the portable one); with the wipe on, in the
// same build, none are, whichever form mixed.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <tuple>

#include "front/cpu.h"
#include "front/derive.h"
#include "mix/dispatch.h"
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
                                                          std::string("avx"), std::string("sse2"),
                                                          std::string("basic")),
                                          testing::ValuesIn(residue::derivation_cases)),
                         [](const testing::TestParamInfo<form_and_case> &info) {
                             return std::get<0>(info.param) + "_" +
                                    case_name(std::get<1>(info.param).what);
                         });

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

}  // namespace
