// The XOP form is proven under Bochs, whose XOP support is partial: it runs
// the per-lane rotate with an immediate count correctly, but computes the XOP
// operations that take a count or selector from a register or memory
// (vprot* by register, vpsh*, vpcmov, vpperm) with two source operands
// swapped.  A test under Bochs can prove only what Bochs runs correctly, so
// the XOP object code must hold none of those forms; this test disassembles
// it and fails if it ever does.
#include <gtest/gtest.h>
#include <stdio.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

// One disassembled instruction in AT&T syntax: "vprotd $0x7,%xmm1,%xmm0".
// Returns why it is untrustworthy under the emulator, or "" if it is fine.
std::string untrusted_xop_form(const std::string &instruction) {
    static const std::regex rotate(R"(^vprot[bwdq]\s+(\S+))");
    static const std::regex shift(R"(^vpsh[al][bwdq]\b)");
    static const std::regex select(R"(^(vpcmov|vpperm)\b)");
    std::smatch m;
    if (std::regex_search(instruction, m, rotate) && m[1].str()[0] != '$')
        return "rotate with a count from a register or memory";
    if (std::regex_search(instruction, shift)) return "shift with per-lane counts";
    if (std::regex_search(instruction, select)) return "selector from a register or memory";
    return "";
}

struct disassembly {
    std::vector<std::string> instructions;
    std::string error;
};

disassembly disassemble(const std::string &object) {
    disassembly d;
    const std::string command = std::string(OBJDUMP) + " -d --no-show-raw-insn '" + object + "'";
    FILE *p = popen(command.c_str(), "r");
    if (!p) {
        d.error = "cannot run " + command;
        return d;
    }
    // Instruction lines: "  1c:\tvprotd $0x7,%xmm1,%xmm0".
    static const std::regex line(R"(^\s*[0-9a-f]+:\t(.*\S)\s*$)");
    char buf[512];
    std::smatch m;
    while (fgets(buf, sizeof buf, p)) {
        const std::string s(buf);
        if (std::regex_match(s, m, line)) d.instructions.push_back(m[1]);
    }
    if (pclose(p) != 0) d.error = command + " failed";
    return d;
}

TEST(XopObjectCode, ClassifierFlagsExactlyTheUntrustedForms) {
    const struct {
        const char *instruction;
        bool untrusted;
    } cases[] = {
        {"vprotd $0x7,%xmm1,%xmm0", false},       {"vprotd $0x12,(%rax),%xmm3", false},
        {"vprotd %xmm2,%xmm1,%xmm0", true},       {"vprotd (%rdi),%xmm1,%xmm0", true},
        {"vprotq %xmm2,%xmm1,%xmm0", true},       {"vpshld %xmm2,%xmm1,%xmm0", true},
        {"vpshad %xmm2,%xmm1,%xmm0", true},       {"vpcmov %xmm3,%xmm2,%xmm1,%xmm0", true},
        {"vpperm %xmm3,%xmm2,%xmm1,%xmm0", true}, {"vpslld $0x7,%xmm1,%xmm0", false},
        {"vpaddd %xmm1,%xmm0,%xmm2", false},      {"vpxor (%rsi),%xmm0,%xmm0", false},
        {"pshufd $0x93,%xmm3,%xmm3", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(!untrusted_xop_form(c.instruction).empty(), c.untrusted) << c.instruction;
}

TEST(XopObjectCode, HoldsOnlyFormsTheEmulatorRunsCorrectly) {
    const disassembly d = disassemble(XOP_OBJECT);
    ASSERT_TRUE(d.error.empty()) << d.error;
    ASSERT_GT(d.instructions.size(), 100u) << "no code in " << XOP_OBJECT;
    std::map<std::string, int> rotates;
    for (const auto &i : d.instructions) {
        EXPECT_EQ(untrusted_xop_form(i), "") << i;
        std::smatch m;
        static const std::regex rotate(R"(^vprotd\s+\$(0x[0-9a-f]+),)");
        if (std::regex_search(i, m, rotate)) rotates[m[1]]++;
    }
    // The form does use XOP: it rotates natively by 7, 9, 13 and 18, and by
    // nothing else.
    for (const char *count : {"0x7", "0x9", "0xd", "0x12"})
        EXPECT_GT(rotates[count], 0) << "no vprotd by " << count;
    EXPECT_EQ(rotates.size(), 4u);
}

}  // namespace
