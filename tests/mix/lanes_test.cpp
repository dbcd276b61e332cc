// The lane forms against the portable ROMix: every lane's chunk and table
// must equal what scrypt_ROMix_basic makes of that chunk alone, for full
// groups, partial groups and odd r, and nothing outside the given chunks
// and tables is written.
#include <gtest/gtest.h>

#include "mix_test_support.h"

using mixtest::words;

namespace {

struct lane_form {
    const char *name;
    cpu_feature_flags required;
    unsigned lanes;
    romix_lanes_function romix;
};

const lane_form kLaneForms[] = {
    {"sse2", FEATURE_SSE2, 4, scrypt_ROMix_lanes_sse2},
    {"avx2", FEATURE_AVX2 | FEATURE_AVX, 8, scrypt_ROMix_lanes_avx2},
    {"avx512", FEATURE_AVX512 | FEATURE_AVX, 16, scrypt_ROMix_lanes_avx512},
};

void PrintTo(const lane_form &f, std::ostream *os) {
    *os << f.name;
}

class LaneForm : public testing::TestWithParam<lane_form> {
  protected:
    void SetUp() override {
        const lane_form &f = GetParam();
        if ((detect_cpu() & f.required) != f.required)
            GTEST_SKIP() << "this processor (or its operating system) lacks "
                         << mixtest::upper(f.name) << ", which the " << f.name
                         << " lane form needs";
    }
};

TEST_P(LaneForm, EveryLaneEqualsThePortableROMixOfItsChunk) {
    const lane_form &form = GetParam();
    const unsigned L = form.lanes;
    struct {
        uint32_t N, r, count;
    } const cases[] = {
        {2, 1, L},
        {4, 1, L},
        {16, 2, L},
        {64, 3, L},
        {8, 5, L - 1},
        {16, 1, 1},
        {32, 8, L / 2 + 1},
        {1024, 1, L},
        {4, 256, 2},
        {256, 7, L - 3 > 0 ? L - 3 : 1},
        // 16 MiB of tables in all: a full AVX-512 group writes them past
        // the caches.
        {16384 / L, 8, L},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "N = " << c.N << ", r = " << c.r << ", " << c.count
                                        << " of " << L << " lanes");
        const size_t n = 32 * (size_t)c.r;
        std::mt19937 rng(c.N * 7919 + c.r * 31 + c.count);
        std::vector<words> x, v, x_ref, v_ref;
        for (unsigned l = 0; l < c.count; l++) {
            x.emplace_back(n);
            x.back().fill_random(rng);
            x_ref.push_back(x.back());
            v.emplace_back(n * c.N);
            v_ref.emplace_back(n * c.N);
        }
        for (unsigned l = 0; l < c.count; l++) {
            words y(n);
            scrypt_ROMix_basic(x_ref[l].data(), y.data(), v_ref[l].data(), c.N, c.r);
        }
        std::vector<uint32_t *> xp, vp;
        for (unsigned l = 0; l < c.count; l++) {
            xp.push_back(x[l].data());
            vp.push_back(v[l].data());
        }
        words work(2 * n * L);
        form.romix(xp.data(), vp.data(), work.data(), c.count, c.N, c.r);
        for (unsigned l = 0; l < c.count; l++) {
            SCOPED_TRACE(testing::Message() << "lane " << l);
            EXPECT_EQ(x[l].payload(), x_ref[l].payload());
            EXPECT_EQ(v[l].payload(), v_ref[l].payload()) << "the table differs";
            EXPECT_TRUE(x[l].guard_intact() && v[l].guard_intact())
                << "wrote past the end of the chunk or the table";
        }
        EXPECT_TRUE(work.guard_intact()) << "wrote past the end of the work area";
    }
}

// What the AVX2 and AVX-512 lane forms leave where baseline code cannot
// overwrite it (see mix_test_support.h): the AVX2 form may write only bits
// 128-255 of ymm0-15 and must clear bits 128-511 of zmm0-15; the AVX-512
// form must also clear zmm16-31 and the opmask registers.  (The AVX2 form
// cannot reach those; what else writes them meanwhile, such as the C
// library's EVEX string functions that a sanitizer's runtime calls, is not
// its business.)  The SSE2 lane form uses xmm0-15 only, which baseline code
// reuses.
class WideLaneForm : public LaneForm {};

TEST_P(WideLaneForm, LeavesNothingWhereBaselineCodeCannotClearIt) {
    const lane_form &form = GetParam();
    if (!(detect_cpu() & FEATURE_AVX512))
        GTEST_SKIP() << "the probe reads the registers with AVX-512 instructions, which this "
                        "processor lacks";
    const bool evex = form.lanes == 16;
    constexpr uint32_t N = 8, r = 2, marker = 0x5a5aa5a5u;
    std::mt19937 rng(99);
    std::vector<words> x, v;
    std::vector<uint32_t *> xp, vp;
    for (unsigned l = 0; l < form.lanes; l++) {
        x.emplace_back(32 * r);
        x.back().fill_random(rng);
        v.emplace_back(32 * r * N);
    }
    for (unsigned l = 0; l < form.lanes; l++) xp.push_back(x[l].data()), vp.push_back(v[l].data());
    words work(2 * 32 * r * form.lanes);
    mixtest::wide_registers after;
    mixtest::fill_wide_registers(marker);
    form.romix(xp.data(), vp.data(), work.data(), form.lanes, N, r);
    mixtest::read_wide_registers(&after);
    for (unsigned n = 0; n < (evex ? 32u : 16u); n++)
        for (unsigned b = n < 16 ? 16 : 0; b < 64; b++)
            if (after.zmm[n][b] != 0) {
                ADD_FAILURE() << "zmm" << n << " byte " << b << " is not cleared";
                break;
            }
    if (evex) {
        for (unsigned n = 0; n < 8; n++) EXPECT_EQ(after.k[n], 0u) << "k" << n;
    }
    // The probe itself works: without a call the markers are all there.
    mixtest::wide_registers control;
    mixtest::fill_wide_registers(marker);
    mixtest::read_wide_registers(&control);
    for (unsigned n = 0; n < 32; n++)
        for (unsigned b = n < 16 ? 16 : 0; b < 64; b++)
            ASSERT_EQ(control.zmm[n][b], marker >> (8 * (b % 4)) & 0xff)
                << "zmm" << n << " byte " << b << " without a call";
}

std::string lane_form_name(const testing::TestParamInfo<lane_form> &i) {
    return i.param.name;
}
INSTANTIATE_TEST_SUITE_P(Forms, LaneForm, testing::ValuesIn(kLaneForms), lane_form_name);
INSTANTIATE_TEST_SUITE_P(Forms, WideLaneForm,
                         testing::ValuesIn(kLaneForms + 1, std::end(kLaneForms)), lane_form_name);

}  // namespace
