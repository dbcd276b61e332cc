// Every mixing form against the portable one: the vector ChunkMix forms on
// tangled chunks, the vector ROMix forms on natural-order chunks, the tangle
// permutation itself, and the mix known answer that the self-test uses.
#include <gtest/gtest.h>

#include "mix_test_support.h"
#include "selftest/selftest.h"

using mixtest::words;

// Test names and messages show the form by name.
void PrintTo(const mix_form *f, std::ostream *os) {
    *os << f->name;
}

namespace {

// Last 16 bytes of ChunkMix (r = 2, no xor input) over the 256-byte chunk
// whose word i is four bytes of value i.
const uint8_t kMixAnswer[16] = {0x41, 0x1f, 0x2e, 0xa3, 0xab, 0xa3, 0x1a, 0x34,
                                0x87, 0x1d, 0x8a, 0x1c, 0x76, 0xa0, 0x27, 0x66};

std::string form_name(const testing::TestParamInfo<const mix_form *> &info) {
    return info.param->name;
}

class VectorForm : public testing::TestWithParam<const mix_form *> {};
class AnyForm : public testing::TestWithParam<const mix_form *> {};

enum class xor_input { none, zero, random };

const char *describe(xor_input x) {
    switch (x) {
        case xor_input::none:
            return "null Bxor";
        case xor_input::zero:
            return "all-zero Bxor";
        default:
            return "random Bxor";
    }
}

TEST_P(VectorForm, ChunkMixMatchesPortableOnTangledChunks) {
    const mix_form &form = *GetParam();
    SKIP_UNLESS_PROCESSOR_RUNS(form);
    for (uint32_t r : {1u, 2u, 4u, 8u, 256u}) {
        for (xor_input x : {xor_input::none, xor_input::zero, xor_input::random}) {
            SCOPED_TRACE(testing::Message() << "r = " << r << ", " << describe(x));
            const size_t n = 32 * (size_t)r;
            std::mt19937 rng(1000 * r + (unsigned)x);
            words in(n), bxor(n);
            in.fill_random(rng);
            for (size_t i = 0; i < n; i++) bxor[i] = x == xor_input::random ? rng() : 0;
            const uint32_t *bxor_nat = x == xor_input::none ? nullptr : bxor.data();

            words expect(n);
            scrypt_ChunkMix_basic(expect.data(), in.data(), bxor_nat, r);

            // The same chunks in tangled order, in 16-byte aligned buffers.
            words tin(n), txor(n), tout(n);
            const auto tin_v = mixtest::retangle(in.data(), n);
            const auto txor_v = mixtest::retangle(bxor.data(), n);
            memcpy(tin.data(), tin_v.data(), n * 4);
            memcpy(txor.data(), txor_v.data(), n * 4);
            for (size_t i = 0; i < n; i++) tout[i] = rng();  // stale contents

            form.chunkmix(tout.data(), tin.data(), x == xor_input::none ? nullptr : txor.data(), r);

            EXPECT_EQ(mixtest::retangle(tout.data(), n), expect.payload());
            EXPECT_TRUE(tout.guard_intact()) << "wrote past the end of Bout";
            EXPECT_EQ(tin.payload(), tin_v) << "Bin changed";
            EXPECT_EQ(txor.payload(), txor_v) << "Bxor changed";
        }
    }
}

TEST_P(VectorForm, NullXorInputEqualsAllZeroXorInput) {
    const mix_form &form = *GetParam();
    SKIP_UNLESS_PROCESSOR_RUNS(form);
    for (uint32_t r : {1u, 2u, 8u, 256u}) {
        SCOPED_TRACE(testing::Message() << "r = " << r);
        const size_t n = 32 * (size_t)r;
        std::mt19937 rng(7 + r);
        words in(n), zero(n), out_null(n), out_zero(n);
        in.fill_random(rng);
        for (size_t i = 0; i < n; i++) zero[i] = 0;
        form.chunkmix(out_null.data(), in.data(), nullptr, r);
        form.chunkmix(out_zero.data(), in.data(), zero.data(), r);
        EXPECT_EQ(out_null.payload(), out_zero.payload());
        // And neither is the input passed through unmixed.
        EXPECT_NE(out_null.payload(), in.payload());
    }
}

TEST_P(VectorForm, ROMixMatchesPortableInNaturalOrder) {
    const mix_form &form = *GetParam();
    SKIP_UNLESS_PROCESSOR_RUNS(form);
    struct {
        uint32_t N, r;
    } const cases[] = {{2, 1}, {2, 2},  {2, 256}, {4, 1},    {4, 8},
                       {8, 4}, {16, 1}, {64, 8},  {1024, 1}, {256, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "N = " << c.N << ", r = " << c.r);
        const size_t n = 32 * (size_t)c.r;
        std::mt19937 rng(c.N * 1000 + c.r);
        words x(n);
        x.fill_random(rng);
        words x_ref(x), y_ref(n), v_ref(n * c.N);
        scrypt_ROMix_basic(x_ref.data(), y_ref.data(), v_ref.data(), c.N, c.r);

        words y(n), v(n * c.N);
        form.romix(x.data(), y.data(), v.data(), c.N, c.r);

        EXPECT_EQ(x.payload(), x_ref.payload());
        // The table and the scratch chunk hold the same states, tangled.
        EXPECT_EQ(y.payload(), mixtest::retangle(y_ref.data(), n));
        EXPECT_EQ(v.payload(), mixtest::retangle(v_ref.data(), n * c.N));
        EXPECT_TRUE(x.guard_intact() && y.guard_intact() && v.guard_intact())
            << "wrote past the end of X, Y or V";
    }
}

TEST_P(AnyForm, MixKnownAnswer) {
    const mix_form &form = *GetParam();
    SKIP_UNLESS_PROCESSOR_RUNS(form);
    const block_conversion convert = form.tangled ? salsa_core_tangle_sse2 : nullptr;
    EXPECT_EQ(scrypt_test_mix_instance(form.chunkmix, convert, convert, kMixAnswer), 1u);
    // The comparison notices a difference in any of the 16 bytes.
    for (unsigned i = 0; i < 16; i++) {
        uint8_t wrong[16];
        memcpy(wrong, kMixAnswer, 16);
        wrong[i] ^= 0x80;
        EXPECT_EQ(scrypt_test_mix_instance(form.chunkmix, convert, convert, wrong), 0u)
            << "byte " << i;
    }
}

TEST_P(VectorForm, SecondEntryNameIsTheSameCode) {
    const mix_form &form = *GetParam();
    struct {
        const char *name;
        chunkmix_function entry, alias;
    } const entries[] = {
        {"sse2", scrypt_ChunkMix_sse2, _scrypt_ChunkMix_sse2},
        {"avx", scrypt_ChunkMix_avx, _scrypt_ChunkMix_avx},
        {"avx512", scrypt_ChunkMix_avx512, _scrypt_ChunkMix_avx512},
        {"avx512tern", scrypt_ChunkMix_avx512tern, _scrypt_ChunkMix_avx512tern},
        {"xop", scrypt_ChunkMix_xop, _scrypt_ChunkMix_xop},
    };
    bool found = false;
    for (const auto &e : entries) {
        if (strcmp(e.name, form.name) != 0) continue;
        found = true;
        EXPECT_EQ(form.chunkmix, e.entry);
        EXPECT_EQ((void *)e.alias, (void *)e.entry);
    }
    EXPECT_TRUE(found) << "no entry names known for form " << form.name;
}

INSTANTIATE_TEST_SUITE_P(Forms, VectorForm, testing::ValuesIn(mixtest::forms(true)), form_name);
INSTANTIATE_TEST_SUITE_P(Forms, AnyForm, testing::ValuesIn(mixtest::forms(false)), form_name);

TEST(VectorFormTable, HoldsTheVectorFormsInOrderOfPreference) {
    std::vector<std::string> names;
    for (const mix_form *f : mixtest::forms(true)) names.push_back(f->name);
    EXPECT_EQ(names, (std::vector<std::string>{"xop", "avx512", "avx512tern", "avx", "sse2"}));
}

// Each form built for AVX-512, by name.
class Avx512Registers : public testing::TestWithParam<const char *> {};

TEST_P(Avx512Registers, KernelsLeaveNothingWhereBaselineCodeCannotClearIt) {
    const mix_form *form = nullptr;
    for (const mix_form *f : mixtest::forms(true))
        if (strcmp(f->name, GetParam()) == 0) form = f;
    ASSERT_NE(form, nullptr);
    SKIP_UNLESS_PROCESSOR_RUNS(*form);
    constexpr uint32_t r = 2, N = 16;
    std::mt19937 rng(77);
    words in(32 * r), x(32 * r), out(32 * r), Y(32 * r), V(32 * r * N);
    in.fill_random(rng);
    x.fill_random(rng);
    const struct {
        const char *what;
        void (*run)(const mix_form &, words &, words &, words &, words &, words &);
    } calls[] = {
        {"ChunkMix", [](const mix_form &f, words &i, words &b, words &o, words &,
                        words &) { f.chunkmix(o.data(), i.data(), b.data(), r); }},
        {"ROMix", [](const mix_form &f, words &i, words &, words &, words &y,
                     words &v) { f.romix(i.data(), y.data(), v.data(), N, r); }},
    };
    for (const auto &c : calls) {
        SCOPED_TRACE(c.what);
        mixtest::wide_registers after;
        mixtest::fill_wide_registers(0x5a5aa5a5u);
        c.run(*form, in, x, out, Y, V);
        mixtest::read_wide_registers(&after);
        // The probe itself works: the markers are there without a call.
        mixtest::wide_registers control;
        mixtest::fill_wide_registers(0x5a5aa5a5u);
        mixtest::read_wide_registers(&control);
        for (unsigned n = 0; n < 32; n++)
            for (unsigned b = n < 16 ? 16 : 0; b < 64; b++) {
                EXPECT_EQ(control.zmm[n][b], 0x5a5aa5a5u >> (8 * (b % 4)) & 0xff)
                    << "zmm" << n << " byte " << b << " without a call";
                if (after.zmm[n][b] != 0) {
                    ADD_FAILURE() << "zmm" << n << " byte " << b << " is not cleared";
                    break;
                }
            }
        for (unsigned n = 0; n < 8; n++) {
            EXPECT_EQ(control.k[n], 0xa5a5u) << "k" << n << " without a call";
            EXPECT_EQ(after.k[n], 0u) << "k" << n << " is not cleared";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, Avx512Registers, testing::Values("avx512", "avx512tern"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

class Tangle : public testing::Test {
  protected:
    void SetUp() override {
        if (!(detect_cpu() & FEATURE_SSE2)) GTEST_SKIP() << "this processor lacks SSE2";
    }
};

TEST_F(Tangle, PermutesEveryBlockByTheTangledOrderAtAnyAlignment) {
    std::mt19937 rng(42);
    for (size_t offset : {0u, 1u, 3u}) {  // words past a 64-byte boundary
        for (uint64_t count : {1u, 2u, 5u}) {
            SCOPED_TRACE(testing::Message() << "offset " << offset << ", count " << count);
            const size_t n = 16 * count;
            words buf(offset + n);
            buf.fill_random(rng);
            const auto before = buf.payload();
            salsa_core_tangle_sse2(buf.data() + offset, count);
            const auto after = buf.payload();
            EXPECT_TRUE(std::equal(before.begin(), before.begin() + offset, after.begin()))
                << "changed words before the blocks";
            EXPECT_EQ(std::vector<uint32_t>(after.begin() + offset, after.end()),
                      mixtest::retangle(before.data() + offset, n));
            EXPECT_TRUE(buf.guard_intact()) << "changed words after the blocks";
        }
    }
}

TEST_F(Tangle, CountZeroChangesNothing) {
    std::mt19937 rng(5);
    words buf(16);
    buf.fill_random(rng);
    const auto before = buf.payload();
    salsa_core_tangle_sse2(buf.data(), 0);
    EXPECT_EQ(buf.payload(), before);
    EXPECT_TRUE(buf.guard_intact());
}

TEST_F(Tangle, TwiceIsTheIdentityAndTheDiagonalWordsStay) {
    words buf(64);
    for (uint32_t i = 0; i < 64; i++) buf[i] = 0x100 + i;  // all distinct
    const auto natural = buf.payload();
    salsa_core_tangle_sse2(buf.data(), 4);
    for (size_t b = 0; b < 64; b += 16)
        for (unsigned k = 0; k < 16; k++) {
            const bool fixed = k == 0 || k == 6 || k == 8 || k == 14;
            EXPECT_EQ(buf[b + k] == natural[b + k], fixed) << "block " << b / 16 << " word " << k;
        }
    salsa_core_tangle_sse2(buf.data(), 4);
    EXPECT_EQ(buf.payload(), natural);
}

}  // namespace
