// Reads the shipped archive back with objdump and checks the instruction
// sets that its code uses:
// - the XOP forms rotate with vprotd and the AVX-512 forms with vprold, by
//   immediate counts 7, 9, 13 and 18, never with shift pairs; the XOP forms
//   use none of the XOP instructions that some emulators get wrong (vprotd
//   with a register or memory count, the vpsh* shifts, vpcmov, vpperm);
// - no code outside the AVX, AVX-512 and XOP forms holds a VEX-, XOP- or
//   EVEX-encoded instruction, so everything else runs on baseline x86-64;
// - only the lane forms use 256-bit registers, and only the AVX-512 lane
//   form 512-bit ones; only they and the AVX-512 forms hold vzeroupper;
// - every return of an AVX-512 entry comes right after the zeroing of
//   zmm16-31 and the opmask registers and a vzeroupper, every return of the
//   AVX2 lane form right after a vzeroupper.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct instruction {
    std::string mnemonic, operands;
};

// One function of the disassembly.  Functions are told apart by address:
// the units of different instruction sets may each hold a local function of
// the same name.
struct function {
    std::string name;
    std::vector<instruction> code;
    std::set<uint64_t> direct_targets;     // addresses of calls and jumps
    std::set<std::string> symbol_targets;  // calls and jumps through relocations
    std::set<uint64_t> callees;            // other functions, resolved from both
};

using program = std::map<uint64_t, function>;  // by start address

const std::set<std::string> kPrefixes = {"cs",  "ds",     "ss",     "es",      "fs",    "gs",
                                         "rep", "repz",   "repnz",  "repe",    "repne", "lock",
                                         "bnd", "data16", "addr32", "notrack", "rex",   "rex.W"};

// The functions with this name (locals of different units may share one).
std::vector<uint64_t> named(const program &prog, const std::string &name) {
    std::vector<uint64_t> v;
    for (const auto &[addr, f] : prog)
        if (f.name == name) v.push_back(addr);
    return v;
}

// objdump -dr -w output, one function per symbol.
program disassemble(const std::string &objdump, const std::string &file, std::string *error) {
    program prog;
    const std::string command = "'" + objdump + "' -dr -w --no-show-raw-insn '" + file + "' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *error = "cannot run " + command;
        return prog;
    }
    static const std::regex header(R"(^([0-9a-f]+) <([^>]+)>:$)");
    static const std::regex insn(
        R"(^\s+[0-9a-f]+:\t([^\t]*)(?:\t[0-9a-f]+: (R_X86_64_\S+)\t(\S+))?)");
    static const std::regex target(R"(^([0-9a-f]+) <)");
    function *current = nullptr;
    char buf[8192];
    while (fgets(buf, sizeof buf, pipe)) {
        std::string line(buf);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        std::smatch m;
        if (std::regex_match(line, m, header)) {
            current = &prog[std::stoull(m[1].str(), nullptr, 16)];
            current->name = m[2];
            continue;
        }
        if (!current || !std::regex_search(line, m, insn)) continue;
        std::istringstream words(m[1].str());
        instruction in;
        while (words >> in.mnemonic && kPrefixes.count(in.mnemonic)) {
        }
        std::getline(words, in.operands);
        in.operands.erase(0, in.operands.find_first_not_of(' '));
        const bool transfer = in.mnemonic.rfind("call", 0) == 0 || in.mnemonic[0] == 'j';
        std::smatch t;
        if (transfer && m[3].matched) {
            // An unresolved relocation names the target; the address shown
            // is only a placeholder.
            current->symbol_targets.insert(m[3].str().substr(0, m[3].str().find_first_of("+-")));
        } else if (transfer && std::regex_search(in.operands, t, target)) {
            current->direct_targets.insert(std::stoull(t[1].str(), nullptr, 16));
        }
        current->code.push_back(in);
    }
    const int status = pclose(pipe);
    if (status != 0) *error = command + " failed";

    // Resolve targets to the functions that hold them.
    for (auto &[addr, f] : prog) {
        for (uint64_t a : f.direct_targets) {
            auto it = prog.upper_bound(a);
            if (it == prog.begin()) continue;
            --it;
            if (it->first != addr) f.callees.insert(it->first);
        }
        // A name shared by several local functions counts as a call of each.
        for (const std::string &name : f.symbol_targets)
            for (uint64_t a : named(prog, name))
                if (a != addr) f.callees.insert(a);
    }
    return prog;
}

// The name a function would have in the source: without the suffixes that
// the compiler adds to clones and split parts.
std::string source_name(const std::string &name) {
    return name.substr(0, name.find('.'));
}

bool is_vex_or_xop(const instruction &in) {
    // Every VEX-, XOP- and EVEX-encoded mnemonic starts with "v"; of the
    // legacy ones only the virtualisation instructions do.
    static const std::set<std::string> legacy_v = {
        "verr",   "verw",   "vmcall",  "vmlaunch", "vmresume", "vmxoff",
        "vmxon",  "vmread", "vmwrite", "vmptrld",  "vmptrst",  "vmclear",
        "vmfunc", "vmrun",  "vmload",  "vmsave",   "vmmcall"};
    return !in.mnemonic.empty() && in.mnemonic[0] == 'v' && !legacy_v.count(in.mnemonic);
}

bool form_entry(const std::string &name, const char *isa) {
    const std::string n = source_name(name);
    const std::string suffix = std::string("_") + isa;
    return n.size() > suffix.size() &&
           n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The function `name` or its second entry name with a leading underscore
// (objdump labels an address with one of its names only).
bool find_entry(const program &prog, const std::string &name, uint64_t *addr) {
    for (const std::string &n : {name, "_" + name}) {
        const auto found = named(prog, n);
        if (found.size() == 1) {
            *addr = found[0];
            return true;
        }
    }
    return false;
}

// The functions of `prog` that `root` reaches by calls and jumps.
std::set<uint64_t> reached(const program &prog, uint64_t root) {
    std::set<uint64_t> seen{root};
    std::vector<uint64_t> todo{root};
    while (!todo.empty()) {
        const uint64_t f = todo.back();
        todo.pop_back();
        for (uint64_t c : prog.at(f).callees)
            if (seen.insert(c).second) todo.push_back(c);
    }
    return seen;
}

std::vector<instruction> code_of(const program &prog, const std::set<uint64_t> &functions) {
    std::vector<instruction> all;
    for (uint64_t f : functions)
        all.insert(all.end(), prog.at(f).code.begin(), prog.at(f).code.end());
    return all;
}

class ObjectCode : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string objdump = SCRYPT_OBJDUMP;
        if (objdump.empty() || access(objdump.c_str(), X_OK) != 0) {
            skip_reason_ =
                "objdump was not found (package binutils), so the object code "
                "cannot be read";
            return;
        }
        prog_ = disassemble(objdump, SCRYPT_ARCHIVE, &error_);
    }
    void SetUp() override {
        if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
        ASSERT_TRUE(error_.empty()) << error_;
        ASSERT_FALSE(prog_.empty()) << "no functions read from " << SCRYPT_ARCHIVE;
    }
    static program prog_;
    static std::string error_, skip_reason_;
};

program ObjectCode::prog_;
std::string ObjectCode::error_, ObjectCode::skip_reason_;

TEST_F(ObjectCode, XopAndAvx512FormsRotateWithImmediateRotatesOnly) {
    static const std::set<std::string> shifts = {"pslld", "psrld", "vpslld", "vpsrld"};
    static const std::regex xop_avoided(R"(^(vpsh[la][bwdq]|vpcmov|vpperm)$)");
    static const std::regex nothing_avoided("^$");
    // The rotate instructions of each form; a right rotate by 32 - s is the
    // left rotate by s (the compiler writes the rotate by 18 as vprord 14).
    const std::set<std::string> xop_left = {"vprotd"}, xop_right = {};
    const std::set<std::string> evex_left = {"vprold"}, evex_right = {"vprord"};
    const struct {
        const char *entry;
        const std::set<std::string> &left, &right;
        const std::regex &avoided;
    } forms[] = {{"scrypt_ChunkMix_xop", xop_left, xop_right, xop_avoided},
                 {"scrypt_ROMix_xop", xop_left, xop_right, xop_avoided},
                 {"scrypt_ChunkMix_avx512", evex_left, evex_right, nothing_avoided},
                 {"scrypt_ROMix_avx512", evex_left, evex_right, nothing_avoided},
                 {"scrypt_ROMix_lanes_avx512", evex_left, evex_right, nothing_avoided}};
    for (const auto &f : forms) {
        SCOPED_TRACE(f.entry);
        uint64_t addr;
        ASSERT_TRUE(find_entry(prog_, f.entry, &addr))
            << f.entry << " is not in " << SCRYPT_ARCHIVE;
        std::set<unsigned> counts;
        for (const instruction &in : code_of(prog_, reached(prog_, addr))) {
            EXPECT_FALSE(shifts.count(in.mnemonic))
                << "shift-pair rotation: " << in.mnemonic << " " << in.operands;
            EXPECT_FALSE(std::regex_match(in.mnemonic, f.avoided))
                << "instruction avoided in this form: " << in.mnemonic << " " << in.operands;
            const bool left = f.left.count(in.mnemonic), right = f.right.count(in.mnemonic);
            if (!left && !right) continue;
            if (in.operands[0] != '$') {
                ADD_FAILURE() << in.mnemonic << " with a register or memory count: " << in.operands;
                continue;
            }
            const unsigned n = (unsigned)std::stoul(in.operands.substr(1), nullptr, 16);
            counts.insert(left ? n : 32 - n);
        }
        EXPECT_EQ(counts, (std::set<unsigned>{7, 9, 13, 18})) << "rotation counts 7, 9, 13 and 18";
    }
}

TEST_F(ObjectCode, OtherFormsRotateWithShiftPairs) {
    // The AVX form in VEX encoding, the SSE2 form in legacy encoding; this
    // also shows that the disassembly is read as it should be.
    const struct {
        const char *entry;
        std::set<std::string> shifts;
    } forms[] = {{"scrypt_ChunkMix_avx", {"vpslld", "vpsrld"}},
                 {"scrypt_ChunkMix_sse2", {"pslld", "psrld"}},
                 {"scrypt_ROMix_lanes_avx2", {"vpslld", "vpsrld"}},
                 {"scrypt_ROMix_lanes_sse2", {"pslld", "psrld"}}};
    for (const auto &f : forms) {
        SCOPED_TRACE(f.entry);
        uint64_t addr;
        ASSERT_TRUE(find_entry(prog_, f.entry, &addr))
            << f.entry << " is not in " << SCRYPT_ARCHIVE;
        std::set<std::string> seen;
        for (const instruction &in : code_of(prog_, reached(prog_, addr)))
            if (f.shifts.count(in.mnemonic)) seen.insert(in.mnemonic);
        EXPECT_EQ(seen, f.shifts);
    }
}

// The ternary-logic AVX-512 form: its rotations are shift pairs merged into
// the target by vpternlogd (0x96, a three-way xor), never vprold or vprord,
// which is the whole difference from the avx512 form; and the two xors of a
// block's input are one vpternlogd as well.
TEST_F(ObjectCode, TernaryAvx512FormRotatesWithShiftPairsMergedByTernaryLogic) {
    for (const char *entry : {"scrypt_ChunkMix_avx512tern", "scrypt_ROMix_avx512tern"}) {
        SCOPED_TRACE(entry);
        uint64_t addr;
        ASSERT_TRUE(find_entry(prog_, entry, &addr)) << entry << " is not in " << SCRYPT_ARCHIVE;
        std::set<std::string> seen;
        std::set<unsigned> left_counts;
        for (const instruction &in : code_of(prog_, reached(prog_, addr))) {
            EXPECT_TRUE(in.mnemonic != "vprold" && in.mnemonic != "vprord")
                << "rotate instruction in the shift-pair form: " << in.mnemonic << " "
                << in.operands;
            if (in.mnemonic == "vpternlogd") {
                EXPECT_EQ(in.operands.rfind("$0x96,", 0), 0u)
                    << "not a three-way xor: " << in.operands;
                seen.insert(in.mnemonic);
            }
            if (in.mnemonic == "vpslld" && in.operands[0] == '$') {
                seen.insert(in.mnemonic);
                left_counts.insert((unsigned)std::stoul(in.operands.substr(1), nullptr, 16));
            }
            if (in.mnemonic == "vpsrld") seen.insert(in.mnemonic);
        }
        EXPECT_EQ(seen, (std::set<std::string>{"vpslld", "vpsrld", "vpternlogd"}));
        EXPECT_EQ(left_counts, (std::set<unsigned>{7, 9, 13, 18})) << "rotation counts";
    }
}

TEST_F(ObjectCode, OnlyTheAvxAvx2Avx512AndXopFormsHoldVexXopOrEvexInstructions) {
    // Entries of baseline code: never allowed such instructions, whoever
    // calls them (the AVX and XOP forms call the shared tangle, for one).
    const char *baseline[] = {"scrypt_ChunkMix_sse2",
                              "scrypt_ROMix_sse2",
                              "scrypt_ROMix_lanes_sse2",
                              "scrypt_rank_lane_forms",
                              "scrypt_test_lane_forms",
                              "salsa_core_tangle_sse2",
                              "scrypt_ChunkMix_basic",
                              "scrypt_ROMix_basic",
                              "scrypt",
                              "detect_cpu"};
    std::set<uint64_t> banned;
    for (const char *entry : baseline) {
        uint64_t addr;
        ASSERT_TRUE(find_entry(prog_, entry, &addr)) << entry << " is not in " << SCRYPT_ARCHIVE;
        banned.insert(addr);
    }
    // A function may hold such instructions if it is an AVX, AVX2, AVX-512 or
    // XOP entry, or
    // if it is called only from functions that may (helpers that the compiler
    // kept apart from an entry).
    std::map<uint64_t, std::set<uint64_t>> callers;
    for (const auto &[addr, f] : prog_)
        for (uint64_t c : f.callees) callers[c].insert(addr);
    std::set<uint64_t> allowed;
    for (const auto &[addr, f] : prog_)
        if (form_entry(f.name, "avx") || form_entry(f.name, "avx2") ||
            form_entry(f.name, "avx512") || form_entry(f.name, "avx512tern") ||
            form_entry(f.name, "xop"))
            allowed.insert(addr);
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto &[f, from] : callers) {
            if (allowed.count(f) || banned.count(f)) continue;
            bool ok = true;
            for (uint64_t c : from) ok = ok && allowed.count(c);
            if (ok) {
                allowed.insert(f);
                changed = true;
            }
        }
    }
    for (const auto &[addr, f] : prog_) {
        for (const instruction &in : f.code) {
            if (is_vex_or_xop(in) && !allowed.count(addr)) {
                ADD_FAILURE() << f.name
                              << " runs outside the AVX, AVX2, AVX-512 and XOP forms but holds "
                              << in.mnemonic << " " << in.operands;
                break;
            }
        }
    }
    // The AVX, AVX2, AVX-512 and XOP forms themselves were recognised: their
    // code holds VEX, XOP or EVEX instructions.
    for (const char *entry :
         {"scrypt_ROMix_avx", "scrypt_ROMix_avx512", "scrypt_ROMix_avx512tern", "scrypt_ROMix_xop",
          "scrypt_ROMix_lanes_avx2", "scrypt_ROMix_lanes_avx512"}) {
        uint64_t addr;
        ASSERT_TRUE(find_entry(prog_, entry, &addr)) << entry << " is not in " << SCRYPT_ARCHIVE;
        bool vex = false;
        for (const instruction &in : code_of(prog_, reached(prog_, addr)))
            vex = vex || is_vex_or_xop(in);
        EXPECT_TRUE(vex) << entry << " holds no VEX or XOP instruction";
    }
}

// The functions that the entries `names` reach.
std::set<uint64_t> code_reached(const program &prog, std::initializer_list<const char *> names) {
    std::set<uint64_t> all;
    for (const char *entry : names) {
        uint64_t addr;
        if (!find_entry(prog, entry, &addr)) continue;
        const std::set<uint64_t> r = reached(prog, addr);
        all.insert(r.begin(), r.end());
    }
    return all;
}

TEST_F(ObjectCode, OnlyTheLaneFormsUseWideRegistersAndOnlyTheyAndTheAvx512FormsClearThem) {
    const std::set<uint64_t> avx2_lanes = code_reached(prog_, {"scrypt_ROMix_lanes_avx2"});
    const std::set<uint64_t> avx512_lanes = code_reached(prog_, {"scrypt_ROMix_lanes_avx512"});
    std::set<uint64_t> clearing =
        code_reached(prog_, {"scrypt_ChunkMix_avx512", "scrypt_ROMix_avx512",
                             "scrypt_ChunkMix_avx512tern", "scrypt_ROMix_avx512tern"});
    ASSERT_FALSE(clearing.empty()) << "no AVX-512 form in " << SCRYPT_ARCHIVE;
    ASSERT_FALSE(avx2_lanes.empty()) << "no AVX2 lane form in " << SCRYPT_ARCHIVE;
    ASSERT_FALSE(avx512_lanes.empty()) << "no AVX-512 lane form in " << SCRYPT_ARCHIVE;
    clearing.insert(avx2_lanes.begin(), avx2_lanes.end());
    clearing.insert(avx512_lanes.begin(), avx512_lanes.end());
    bool ymm_seen = false, zmm_seen = false;
    for (const auto &[addr, f] : prog_)
        for (const instruction &in : f.code) {
            const bool clears = in.mnemonic == "vzeroupper" || in.mnemonic == "vzeroall";
            const bool ymm = in.operands.find("%ymm") != std::string::npos;
            const bool zmm = in.operands.find("%zmm") != std::string::npos;
            ymm_seen = ymm_seen || (ymm && avx2_lanes.count(addr));
            zmm_seen = zmm_seen || (zmm && avx512_lanes.count(addr));
            if ((ymm && !avx2_lanes.count(addr) && !avx512_lanes.count(addr)) ||
                (zmm && !avx512_lanes.count(addr)) || (clears && !clearing.count(addr))) {
                ADD_FAILURE() << f.name << " uses wide registers: " << in.mnemonic << " "
                              << in.operands;
                break;  // one report per function
            }
        }
    // And the lane forms were read as what they are.
    EXPECT_TRUE(ymm_seen) << "the AVX2 lane form uses no ymm register";
    EXPECT_TRUE(zmm_seen) << "the AVX-512 lane form uses no zmm register";
}

// Every return of `entry` follows all of `required` (mnemonic and operands,
// or a bare mnemonic), with nothing in between that writes a vector or
// opmask register, calls or jumps.
void expect_returns_after(const program &prog, const char *entry,
                          const std::set<std::string> &required) {
    SCOPED_TRACE(entry);
    uint64_t addr;
    ASSERT_TRUE(find_entry(prog, entry, &addr)) << entry << " is not in " << SCRYPT_ARCHIVE;
    const std::vector<instruction> &code = prog.at(addr).code;
    unsigned returns = 0;
    for (size_t i = 0; i < code.size(); i++) {
        if (code[i].mnemonic.rfind("ret", 0) != 0) continue;
        returns++;
        std::set<std::string> seen;
        for (size_t k = i; k-- > 0;) {
            const instruction &in = code[k];
            const std::string text = in.mnemonic + " " + in.operands;
            if (required.count(text) || required.count(in.mnemonic)) {
                seen.insert(required.count(in.mnemonic) ? in.mnemonic : text);
                continue;
            }
            // Restoring saved registers and the stack frame is fine; any
            // other vector instruction, call or jump ends the walk.
            if (is_vex_or_xop(in) || in.mnemonic[0] == 'k' || in.mnemonic[0] == 'j' ||
                in.mnemonic.rfind("call", 0) == 0)
                break;
        }
        EXPECT_EQ(seen, required) << "return " << returns << " of " << entry;
    }
    EXPECT_GT(returns, 0u) << entry << " has no return (a tail call escapes the check)";
}

TEST_F(ObjectCode, Avx2LaneFormReturnsOnlyAfterClearingTheUpperHalves) {
    expect_returns_after(prog_, "scrypt_ROMix_lanes_avx2", {"vzeroupper"});
}

TEST_F(ObjectCode, Avx512EntriesReturnOnlyAfterClearingTheRegistersBaselineCodeCannot) {
    std::set<std::string> required = {"vzeroupper"};
    for (int n = 16; n < 32; n++) {
        const std::string x = "%xmm" + std::to_string(n);
        required.insert("vpxord " + x + "," + x + "," + x);
    }
    for (int n = 0; n < 8; n++) {
        const std::string k = "%k" + std::to_string(n);
        required.insert("kxorw " + k + "," + k + "," + k);
    }
    for (const char *entry :
         {"scrypt_ChunkMix_avx512", "scrypt_ROMix_avx512", "scrypt_ChunkMix_avx512tern",
          "scrypt_ROMix_avx512tern", "scrypt_ROMix_lanes_avx512"})
        expect_returns_after(prog_, entry, required);
}

}  // namespace
