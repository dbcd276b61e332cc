// Feature detection over fake processors (which CPUID leaves and XGETBV are
// asked, and what comes of the answers), the choice of form from the
// features, and detection on the processor that runs the test.
#include <cpuid.h>
#include <gtest/gtest.h>
#include <immintrin.h>
#include <string.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "support/case_name.h"

namespace {

// The choice by features alone, as a process makes it before its forms have
// been ranked (the ranking itself is tested in dispatch_test.cpp).
const mix_form *by_features(cpu_feature_flags flags) {
    static const form_ranking unranked = {};
    return scrypt_select_form_by(&unranked, flags);
}

// Leaf-1 ECX / EDX bits, leaf-7 EBX and leaf-0x80000001 ECX bits.
constexpr uint32_t ECX_SSE3 = 1u << 0, ECX_SSSE3 = 1u << 9, ECX_SSE41 = 1u << 19,
                   ECX_SSE42 = 1u << 20, ECX_OSXSAVE = 1u << 27, ECX_AVX = 1u << 28;
constexpr uint32_t EDX_MMX = 1u << 23, EDX_SSE = 1u << 25, EDX_SSE2 = 1u << 26;
constexpr uint32_t EBX7_AVX2 = 1u << 5, EBX7_AVX512F = 1u << 16, EBX7_SHA = 1u << 29,
                   EBX7_AVX512VL = 1u << 31;
// XCR0: x87, SSE, AVX, and AVX-512's opmask, ZMM0-15 upper and ZMM16-31 states.
constexpr uint64_t XCR0_AVX = 7, XCR0_AVX512 = 0xe7;
constexpr uint32_t ECXE_XOP = 1u << 11;
constexpr uint32_t EXT = 0x80000000u;

// Leaf-1 bits of a typical processor from the last fifteen years.
constexpr uint32_t ECX_MODERN = ECX_SSE3 | ECX_SSSE3 | ECX_SSE41 | ECX_SSE42;
constexpr uint32_t EDX_MODERN = EDX_MMX | EDX_SSE | EDX_SSE2;
constexpr cpu_feature_flags FLAGS_MODERN =
    FEATURE_MMX | FEATURE_SSE | FEATURE_SSE2 | FEATURE_SSE3 | FEATURE_SSSE3 | FEATURE_SSE4;

// A processor that answers from its fields and logs every question.
struct fake_processor {
    uint32_t max_leaf = 0;
    uint32_t ecx1 = 0, edx1 = 0;
    uint32_t ebx7 = 0;
    uint32_t max_ext = EXT;
    uint32_t ecx_ext1 = 0;
    uint64_t xcr0 = 0;

    std::vector<uint32_t> leaves;   // every leaf asked, in order
    std::vector<uint32_t> xgetbvs;  // every XCR index read

    void cpuid(cpuid_record *r, uint32_t leaf) {
        leaves.push_back(leaf);
        // Fill with a pattern first: the steps must not read a register that
        // this leaf does not define as if it were zero.
        *r = cpuid_record{0xdeadbeef, 0xdeadbeef, 0xdeadbeef, 0xdeadbeef};
        switch (leaf) {
            case 0:
                r->eax = max_leaf;
                r->ebx = 0x756e6547;
                r->ecx = 0x6c65746e;
                r->edx = 0x49656e69;
                break;
            case 1:
                r->eax = 0x000306a9;
                r->ebx = 0;
                r->ecx = ecx1;
                r->edx = edx1;
                break;
            case 7:
                r->eax = 0;
                r->ebx = ebx7;
                r->ecx = 0;
                r->edx = 0;
                break;
            case EXT:
                r->eax = max_ext;
                r->ebx = r->ecx = r->edx = 0;
                break;
            case EXT + 1:
                r->eax = 0;
                r->ebx = 0;
                r->ecx = ecx_ext1;
                r->edx = 0;
                break;
            default:
                break;
        }
    }
    uint64_t xgetbv(uint32_t index) {
        xgetbvs.push_back(index);
        return index == 0 ? xcr0 : 0;
    }
};

// AVX and OSXSAVE in leaf 1, the operating system saving x87, SSE and AVX
// state, basic leaves up to 0xd and extended ones up to 0x80000008.
fake_processor avx_machine() {
    fake_processor p;
    p.max_leaf = 0xd;
    p.ecx1 = ECX_MODERN | ECX_OSXSAVE | ECX_AVX;
    p.edx1 = EDX_MODERN;
    p.max_ext = EXT + 8;
    p.xcr0 = 7;
    return p;
}

struct detect_case {
    const char *what;
    fake_processor cpu;
    cpu_feature_flags flags;
    std::vector<uint32_t> leaves;
    bool reads_xcr0;
    const char *form;
};

void PrintTo(const detect_case &c, std::ostream *os) {
    *os << c.what;
}

template <class F>
fake_processor modified(fake_processor p, F change) {
    change(p);
    return p;
}

const std::vector<detect_case> &detect_cases() {
    static const std::vector<detect_case> cases = {
        {"AVX-512F and VL with their state enabled (a Zen 4 or a Sapphire Rapids)",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ebx7 = EBX7_AVX2 | EBX7_AVX512F | EBX7_AVX512VL;
                      p.xcr0 = XCR0_AVX512;
                  }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_AVX2 | FEATURE_AVX512,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx512"},
        {"AVX-512F without VL: no AVX-512 form (it needs the 16-byte EVEX forms)",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ebx7 = EBX7_AVX2 | EBX7_AVX512F;
                      p.xcr0 = XCR0_AVX512;
                  }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_AVX2,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"AVX-512VL without F",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ebx7 = EBX7_AVX512VL;
                      p.xcr0 = XCR0_AVX512;
                  }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"AVX-512 offered, the operating system saving only the AVX state",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ebx7 = EBX7_AVX512F | EBX7_AVX512VL;
                      p.xcr0 = XCR0_AVX;
                  }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"AVX-512 and XOP both reported: the XOP form comes first",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ebx7 = EBX7_AVX512F | EBX7_AVX512VL;
                      p.xcr0 = XCR0_AVX512;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_AVX512 | FEATURE_XOP,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "xop"},
        {"AVX-512 offered and enabled but AVX not in leaf 1: no leaf 7, no AVX-512",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ecx1 &= ~ECX_AVX;
                      p.ebx7 = EBX7_AVX512F | EBX7_AVX512VL;
                      p.xcr0 = XCR0_AVX512;
                  }),
         FLAGS_MODERN,
         {0, 1},
         true,
         "sse2"},
        {"AVX and AVX2, no XOP",
         modified(avx_machine(), [](fake_processor &p) { p.ebx7 = EBX7_AVX2; }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_AVX2,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"AVX, AVX2 and the SHA-256 instructions",
         modified(avx_machine(), [](fake_processor &p) { p.ebx7 = EBX7_AVX2 | EBX7_SHA; }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_AVX2 | FEATURE_SHA,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"the SHA-256 instructions without SSE4.1: not used",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ebx7 = EBX7_SHA;
                      p.ecx1 &= ~ECX_SSE41;
                  }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"AVX and XOP (a Bulldozer)",
         modified(avx_machine(), [](fake_processor &p) { p.ecx_ext1 = ECXE_XOP; }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_XOP,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "xop"},
        {"highest basic leaf has bit 8 set: MMX only, nothing else asked",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.max_leaf = 0x10d;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FEATURE_MMX,
         {0},
         false,
         "basic"},
        {"highest basic leaf has bit 10 set: MMX only, nothing else asked",
         modified(avx_machine(), [](fake_processor &p) { p.max_leaf = 0x40d; }),
         FEATURE_MMX,
         {0},
         false,
         "basic"},
        {"highest basic leaf 0: empty set",
         modified(avx_machine(), [](fake_processor &p) { p.max_leaf = 0; }),
         0,
         {0},
         false,
         "basic"},
        {"OSXSAVE clear: no XGETBV, no AVX, no leaf 7, no extended leaves",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ecx1 &= ~ECX_OSXSAVE;
                      p.ebx7 = EBX7_AVX2;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN,
         {0, 1},
         false,
         "sse2"},
        {"XCR0 has neither SSE nor AVX state",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.xcr0 = 1;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN,
         {0, 1},
         true,
         "sse2"},
        // The AVX state must be enabled as well as the SSE state: VEX and XOP
        // instructions fault without it.
        {"XCR0 has only the SSE state",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.xcr0 = 3;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN,
         {0, 1},
         true,
         "sse2"},
        {"XCR0 has only the AVX state",
         modified(avx_machine(), [](fake_processor &p) { p.xcr0 = 5; }),
         FLAGS_MODERN,
         {0, 1},
         true,
         "sse2"},
        {"XCR0 has exactly the SSE and AVX states",
         modified(avx_machine(), [](fake_processor &p) { p.xcr0 = 6; }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"XCR0 has further states above AVX",
         modified(avx_machine(), [](fake_processor &p) { p.xcr0 = 0xe7; }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"OSXSAVE without AVX: XCR0 read, no AVX",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.ecx1 &= ~ECX_AVX;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN,
         {0, 1},
         true,
         "sse2"},
        {"highest basic leaf 6: no leaf 7, extended leaves still asked",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.max_leaf = 6;
                      p.ebx7 = EBX7_AVX2;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_XOP,
         {0, 1, EXT, EXT + 1},
         true,
         "xop"},
        {"highest basic leaf 7: leaf 7 asked",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.max_leaf = 7;
                      p.ebx7 = EBX7_AVX2;
                  }),
         FLAGS_MODERN | FEATURE_AVX | FEATURE_AVX2,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"highest extended leaf 0x80000000: leaf 0x80000001 not asked",
         modified(avx_machine(),
                  [](fake_processor &p) {
                      p.max_ext = EXT;
                      p.ecx_ext1 = ECXE_XOP;
                  }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT},
         true,
         "avx"},
        {"SSE4.1 alone sets the SSE4 bit",
         modified(avx_machine(), [](fake_processor &p) { p.ecx1 &= ~ECX_SSE42; }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"SSE4.2 alone sets the SSE4 bit",
         modified(avx_machine(), [](fake_processor &p) { p.ecx1 &= ~ECX_SSE41; }),
         FLAGS_MODERN | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
        {"an early x86-64: MMX, SSE, SSE2 and SSE3 only",
         [] {
             fake_processor p;
             p.max_leaf = 1;
             p.ecx1 = ECX_SSE3;
             p.edx1 = EDX_MODERN;
             p.ecx_ext1 = ECXE_XOP;
             return p;
         }(),
         FEATURE_MMX | FEATURE_SSE | FEATURE_SSE2 | FEATURE_SSE3,
         {0, 1},
         false,
         "sse2"},
        {"no SSE2 (an emulator with it turned off)",
         [] {
             fake_processor p;
             p.max_leaf = 0xd;
             p.ecx1 = 0;
             p.edx1 = EDX_MMX | EDX_SSE;
             return p;
         }(),
         FEATURE_MMX | FEATURE_SSE,
         {0, 1},
         false,
         "basic"},
        {"AVX without SSE2 in leaf 1 still runs the AVX form",
         modified(avx_machine(), [](fake_processor &p) { p.edx1 &= ~EDX_SSE2; }),
         (FLAGS_MODERN & ~FEATURE_SSE2) | FEATURE_AVX,
         {0, 1, 7, EXT, EXT + 1},
         true,
         "avx"},
    };
    return cases;
}

class DetectCpu : public testing::TestWithParam<detect_case> {};

TEST_P(DetectCpu, AsksTheExpectedLeavesAndReportsTheExpectedFeatures) {
    const detect_case &c = GetParam();
    fake_processor cpu = c.cpu;
    const cpu_feature_flags flags = detect_cpu_with(cpu);
    EXPECT_EQ(flags, c.flags) << std::hex << "got 0x" << flags << ", want 0x" << c.flags;
    EXPECT_EQ(flags & ~(cpu_feature_flags)0xfff, 0u) << "bits above the low twelve";
    EXPECT_EQ(cpu.leaves, c.leaves) << "CPUID leaves asked";
    if (c.reads_xcr0) {
        EXPECT_EQ(cpu.xgetbvs, std::vector<uint32_t>{0}) << "XCR0 must be read exactly once";
    } else {
        EXPECT_TRUE(cpu.xgetbvs.empty()) << "XGETBV must not run";
    }
    EXPECT_STREQ(by_features(flags)->name, c.form);
}

INSTANTIATE_TEST_SUITE_P(FakeProcessors, DetectCpu, testing::ValuesIn(detect_cases()),
                         named_by_what());

TEST(DetectCpu, XopNeverAppearsWithoutAvx) {
    // Every combination of the leaf-1 and XCR0 conditions, with XOP offered.
    for (uint32_t osxsave : {0u, ECX_OSXSAVE})
        for (uint32_t avx : {0u, ECX_AVX})
            for (uint64_t xcr0 : {0ull, 1ull, 2ull, 4ull, 6ull, 7ull}) {
                fake_processor p = avx_machine();
                p.ecx1 = ECX_MODERN | osxsave | avx;
                p.xcr0 = xcr0;
                p.ecx_ext1 = ECXE_XOP;
                const cpu_feature_flags flags = detect_cpu_with(p);
                const bool has_avx = osxsave && avx && (xcr0 & 6) == 6;
                SCOPED_TRACE(testing::Message()
                             << "osxsave " << !!osxsave << ", avx " << !!avx << ", xcr0 " << xcr0);
                EXPECT_EQ((flags & FEATURE_AVX) != 0, has_avx);
                EXPECT_EQ((flags & FEATURE_XOP) != 0, has_avx);
            }
}

TEST(DetectCpu, Avx2NeedsAvxAndBothItsStatesEnabled) {
    // The AVX2 lane form runs VEX code on 32-byte registers: it needs AVX
    // in leaf 1 and XCR0's SSE and AVX states, as well as leaf 7's bit.
    for (uint32_t avx : {0u, ECX_AVX})
        for (uint64_t xcr0 : {0ull, 2ull, 4ull, 6ull, 7ull}) {
            fake_processor p = avx_machine();
            p.ecx1 = ECX_MODERN | ECX_OSXSAVE | avx;
            p.xcr0 = xcr0;
            p.ebx7 = EBX7_AVX2;
            SCOPED_TRACE(testing::Message() << "avx " << !!avx << ", xcr0 " << xcr0);
            EXPECT_EQ((detect_cpu_with(p) & FEATURE_AVX2) != 0, avx && (xcr0 & 6) == 6);
        }
}

TEST(DetectCpu, Avx512NeedsEveryOneOfItsStatesEnabled) {
    // Each XCR0 bit that the AVX-512 form needs, taken away in turn.
    for (uint64_t bit : {2ull, 4ull, 0x20ull, 0x40ull, 0x80ull}) {
        fake_processor p = avx_machine();
        p.ebx7 = EBX7_AVX512F | EBX7_AVX512VL;
        p.xcr0 = XCR0_AVX512 & ~bit;
        SCOPED_TRACE(testing::Message() << "xcr0 0x" << std::hex << p.xcr0);
        EXPECT_EQ(detect_cpu_with(p) & FEATURE_AVX512, 0u);
    }
    fake_processor p = avx_machine();
    p.ebx7 = EBX7_AVX512F | EBX7_AVX512VL;
    p.xcr0 = XCR0_AVX512;
    EXPECT_NE(detect_cpu_with(p) & FEATURE_AVX512, 0u);
}

struct select_case {
    cpu_feature_flags flags;
    const char *form;
};

TEST(SelectForm, FirstFormWhoseFeaturesArePresentWins) {
    const select_case cases[] = {
        {FEATURE_XOP | FEATURE_AVX | FEATURE_SSE2, "xop"},
        {FEATURE_XOP | FEATURE_AVX, "xop"},
        {FEATURE_XOP | FEATURE_AVX512 | FEATURE_AVX | FEATURE_SSE2, "xop"},
        {FEATURE_AVX512 | FEATURE_AVX | FEATURE_SSE2 | FEATURE_AVX2, "avx512"},
        {FEATURE_AVX512 | FEATURE_AVX, "avx512"},
        // The AVX-512 form uses VEX instructions too: without AVX it does not run.
        {FEATURE_AVX512 | FEATURE_SSE2, "sse2"},
        // The XOP form is VEX-coded too: without AVX it does not run.
        {FEATURE_XOP | FEATURE_SSE2, "sse2"},
        {FEATURE_AVX | FEATURE_SSE2 | FEATURE_AVX2, "avx"},
        {FEATURE_AVX, "avx"},
        {FEATURE_SSE2 | FEATURE_SSE3 | FEATURE_SSE4, "sse2"},
        {FEATURE_SSE2, "sse2"},
        {0, "basic"},
        // Every bit that selection does not read.
        {FEATURE_MMX | FEATURE_SSE | FEATURE_SSE3 | FEATURE_SSSE3 | FEATURE_SSE4 | FEATURE_AVX2 |
             0x20,
         "basic"},
    };
    for (const select_case &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
        EXPECT_STREQ(by_features(c.flags)->name, c.form);
    }
}

TEST(SelectForm, TableWiresEachFormToItsOwnFunctions) {
    struct {
        const char *name;
        cpu_feature_flags required;
        romix_function romix;
        chunkmix_function chunkmix;
        bool tangled;
    } const expect[] = {
        {"xop", FEATURE_XOP | FEATURE_AVX, scrypt_ROMix_xop, scrypt_ChunkMix_xop, true},
        {"avx512", FEATURE_AVX512 | FEATURE_AVX, scrypt_ROMix_avx512, scrypt_ChunkMix_avx512, true},
        {"avx512tern", FEATURE_AVX512 | FEATURE_AVX, scrypt_ROMix_avx512tern,
         scrypt_ChunkMix_avx512tern, true},
        {"avx", FEATURE_AVX, scrypt_ROMix_avx, scrypt_ChunkMix_avx, true},
        {"sse2", FEATURE_SSE2, scrypt_ROMix_sse2, scrypt_ChunkMix_sse2, true},
        {"basic", 0, scrypt_ROMix_basic, scrypt_ChunkMix_basic, false},
    };
    ASSERT_EQ(scrypt_mix_form_count, sizeof expect / sizeof expect[0]);
    for (unsigned i = 0; i < scrypt_mix_form_count; i++) {
        const mix_form &f = scrypt_mix_forms[i];
        SCOPED_TRACE(expect[i].name);
        EXPECT_STREQ(f.name, expect[i].name);
        EXPECT_EQ(f.required, expect[i].required);
        EXPECT_EQ(f.romix, expect[i].romix);
        EXPECT_EQ(f.chunkmix, expect[i].chunkmix);
        EXPECT_EQ(f.tangled, expect[i].tangled);
    }
}

// This processor, through the compiler's own detection as the second opinion.
TEST(DetectCpuHere, FeatureOrderPutsTheBestVexFormFirstOnThisMachine) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx"))
        GTEST_SKIP() << "this machine (or its operating system) has no AVX, so no VEX form "
                        "can be selected here";
    const cpu_feature_flags flags = detect_cpu();
    EXPECT_TRUE(flags & FEATURE_SSE2);
    EXPECT_TRUE(flags & FEATURE_AVX);
    const bool xop = __builtin_cpu_supports("xop");
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    EXPECT_EQ((flags & FEATURE_XOP) != 0, xop);
    EXPECT_EQ((flags & FEATURE_AVX512) != 0, avx512);
    EXPECT_STREQ(by_features(flags)->name, xop ? "xop" : avx512 ? "avx512" : "avx");
    EXPECT_EQ(by_features(flags)->romix, xop      ? scrypt_ROMix_xop
                                         : avx512 ? scrypt_ROMix_avx512
                                                  : scrypt_ROMix_avx);
}

TEST(DetectCpuHere, AgreesWithTheCompilersDetection) {
    __builtin_cpu_init();
    const cpu_feature_flags flags = detect_cpu();
    struct {
        const char *feature;
        cpu_feature_flags bit;
        bool supported;  // __builtin_cpu_supports takes literals only
    } const bits[] = {
        {"mmx", FEATURE_MMX, __builtin_cpu_supports("mmx") != 0},
        {"sse", FEATURE_SSE, __builtin_cpu_supports("sse") != 0},
        {"sse2", FEATURE_SSE2, __builtin_cpu_supports("sse2") != 0},
        {"sse3", FEATURE_SSE3, __builtin_cpu_supports("sse3") != 0},
        {"ssse3", FEATURE_SSSE3, __builtin_cpu_supports("ssse3") != 0},
        {"avx", FEATURE_AVX, __builtin_cpu_supports("avx") != 0},
        {"xop", FEATURE_XOP, __builtin_cpu_supports("xop") != 0},
    };
    for (const auto &b : bits) EXPECT_EQ((flags & b.bit) != 0, b.supported) << b.feature;
    const bool sse4 = __builtin_cpu_supports("sse4.1") || __builtin_cpu_supports("sse4.2");
    EXPECT_EQ((flags & FEATURE_SSE4) != 0, sse4);
    // The AVX2 and AVX-512 bits are only looked for when AVX is usable.
    if (flags & FEATURE_AVX) {
        EXPECT_EQ((flags & FEATURE_AVX2) != 0, __builtin_cpu_supports("avx2") != 0);
        EXPECT_EQ((flags & FEATURE_AVX512) != 0,
                  __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"));
    }
}

// The process's answer, asked once: the same as asking the processor, also
// for threads that race to ask first (this is the first use in this test
// program) and for every later call.
TEST(DetectCpuHere, OncePerProcessAnswersAsDetectionDoesFromRacingThreads) {
    const cpu_feature_flags fresh = detect_cpu();
    constexpr unsigned threads = 8;
    cpu_feature_flags seen[threads][3] = {};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; t++)
        pool.emplace_back([&seen, t] {
            for (cpu_feature_flags &f : seen[t]) f = detect_cpu_once();
        });
    for (std::thread &t : pool) t.join();
    for (unsigned t = 0; t < threads; t++)
        for (cpu_feature_flags f : seen[t]) EXPECT_EQ(f, fresh) << "thread " << t;
    EXPECT_EQ(detect_cpu_once(), fresh);
}

TEST(DetectCpuHere, PrimitivesReturnWhatTheInstructionsReturn) {
    unsigned a, b, c, d;
    for (uint32_t leaf : {0u, 7u, 0x80000000u}) {
        SCOPED_TRACE(testing::Message() << "leaf 0x" << std::hex << leaf);
        __cpuid_count(leaf, 0, a, b, c, d);
        cpuid_record r;
        memset(&r, 0x5a, sizeof r);
        get_cpuid(&r, leaf);
        EXPECT_EQ(r.eax, a);
        EXPECT_EQ(r.ebx, b);
        EXPECT_EQ(r.ecx, c);
        EXPECT_EQ(r.edx, d);
    }
    __cpuid(1, a, b, c, d);
    if (!(c & ECX_OSXSAVE)) GTEST_SKIP() << "no OSXSAVE here, so XGETBV cannot be compared";
    uint32_t lo, hi;
    __asm__ __volatile__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    EXPECT_EQ(get_xgetbv(0), (uint64_t)hi << 32 | lo);
}

}  // namespace
