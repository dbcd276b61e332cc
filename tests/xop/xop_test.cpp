// The XOP form on a processor that executes it: the test program xop_guest
// runs in a Linux machine emulated by Bochs with an XOP-capable CPU model,
// and these tests read its report from the machine's serial console.
//
// One boot serves all tests.  Under CTest the boot is a fixture of its own,
// `xop_test --boot DIR`, which leaves the run in DIR; the tests, started with
// SCRYPT_XOP_RUN_DIR=DIR, read it from there.  Run by hand without that
// variable, the binary boots the machine itself, once.
//
// The expected derived keys come from OpenSSL's EVP_PBE_scrypt on the host
// and travel to the guest in its arguments file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "runner.h"
#include "support/key_cases.h"
#include "support/openssl_scrypt.h"

namespace {

// ---------------------------------------------------------------- the run --

struct derivation_case {
    std::string password, salt;
    unsigned Nfactor, rfactor, pfactor;
    size_t length;
};

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    if (bytes.empty()) return "-";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

// The guest's arguments: the seed of its random chunks and the derivations
// with the keys OpenSSL computes for them.  Empty on an OpenSSL failure.
std::string make_arguments(uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto random_bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (auto &c : s) c = (char)(rng() & 0xff);
        return s;
    };
    // RFC 7914 section 12, vectors 1 to 3 (N = 16384 costs the emulator
    // about a second), then random strings with p > 1, r = 256 and output
    // lengths that are not a multiple of the hash size.
    const derivation_case cases[] = {
        {"", "", 3, 0, 0, 64},
        {"password", "NaCl", 9, 3, 4, 64},
        {"pleaseletmein", "SodiumChloride", 13, 3, 0, 64},
        {random_bytes(21), random_bytes(13), 4, 1, 2, 100},
        {random_bytes(3), random_bytes(40), 0, 8, 0, 33},
        {random_bytes(64), "", 6, 0, 3, 1},
    };
    std::ostringstream args;
    args << "seed " << seed << "\n";
    for (const auto &c : cases) {
        std::string key(c.length, '\0');
        if (!openssl_scrypt_into(c.password.data(), c.password.size(), c.salt.data(), c.salt.size(),
                                 c.Nfactor, c.rfactor, c.pfactor, (uint8_t *)key.data(),
                                 key.size()))
            return "";
        args << "derive " << hex(c.password) << " " << hex(c.salt) << " " << c.Nfactor << " "
             << c.rfactor << " " << c.pfactor << " " << hex(key) << "\n";
    }
    // And through scrypt_derive_key(), with r and p that are not powers of
    // two.
    for (size_t i = 0; i < key_case_count; i++) {
        const key_case &c = key_cases[i];
        const std::string password = key_case_input(i, 0), salt = key_case_input(i, 1);
        const auto key = openssl_scrypt_nrp(password, salt, c.N, c.r, c.p, c.out_len);
        if (!key) return "";
        args << "derive_key " << hex(password) << " " << hex(salt) << " " << c.N << " " << c.r
             << " " << c.p << " " << hex(std::string(key->begin(), key->end())) << "\n";
    }
    return args.str();
}

// What the tests look at, as saved in the run directory.
struct saved_run {
    std::string unavailable, error, exit_line, console, arguments;
    int exit_status = -1;
    double seconds = 0;
};

// Boots the machine with the guest and saves the outcome in `dir`.
saved_run boot(const std::string &dir) {
    saved_run s;
    mkdir(dir.c_str(), 0755);
    unlink((dir + "/result").c_str());
    unlink((dir + "/console.log").c_str());

    uint64_t seed;
    if (const char *e = getenv("SCRYPT_XOP_SEED"); e && *e)
        seed = strtoull(e, nullptr, 10);
    else
        seed = ((uint64_t)std::random_device{}() << 32) | std::random_device{}();
    s.arguments = make_arguments(seed);
    std::ofstream(dir + "/args") << s.arguments;

    std::string why;
    const std::string kernel = xop::find_kernel(XOP_KERNEL_DIR, XOP_FETCH_SCRIPT, why);
    if (s.arguments.empty()) {
        s.error = "OpenSSL's EVP_PBE_scrypt failed to compute the expected keys";
    } else if (kernel.empty()) {
        s.unavailable = why;
    } else {
        xop::run_config config;
        config.workdir = dir;
        config.kernel = kernel;
        config.init = XOP_INIT_PATH;
        config.guest = XOP_GUEST_PATH;
        config.arguments = s.arguments;
        const xop::run_result r = xop::run(config);
        s.unavailable = r.unavailable;
        s.error = r.error;
        s.exit_line = r.exit_line;
        s.exit_status = r.exit_status;
        s.seconds = r.seconds;
        s.console = r.console;
    }
    std::ofstream out(dir + "/result");
    out << "unavailable " << s.unavailable << "\n"
        << "error " << s.error << "\n"
        << "exit_line " << s.exit_line << "\n"
        << "exit_status " << s.exit_status << "\n"
        << "seconds " << s.seconds << "\n";
    return s;
}

// Reads what `boot` saved in `dir`.
saved_run load(const std::string &dir) {
    saved_run s;
    std::string result;
    if (!xop::read_file(dir + "/result", result)) {
        s.error = "no run in " + dir + " (the xop_boot fixture did not finish)";
        return s;
    }
    std::istringstream in(result);
    std::string line;
    while (std::getline(in, line)) {
        const size_t sp = line.find(' ');
        const std::string key = line.substr(0, sp);
        const std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "unavailable")
            s.unavailable = value;
        else if (key == "error")
            s.error = value;
        else if (key == "exit_line")
            s.exit_line = value;
        else if (key == "exit_status")
            s.exit_status = atoi(value.c_str());
        else if (key == "seconds")
            s.seconds = atof(value.c_str());
    }
    xop::read_file(dir + "/console.log", s.console);
    std::string raw = s.console;
    s.console.clear();
    for (char c : raw)
        if (c != '\r') s.console.push_back(c);
    xop::read_file(dir + "/args", s.arguments);
    return s;
}

const saved_run &the_run() {
    static const saved_run run = [] {
        if (const char *dir = getenv("SCRYPT_XOP_RUN_DIR"); dir && *dir) return load(dir);
        return boot(XOP_STANDALONE_RUN_DIR);
    }();
    return run;
}

// ------------------------------------------------------- the guest report --

struct check_line {
    std::string group, name, detail;
    bool ok;
};

struct group_report {
    std::vector<check_line> checks;
    bool summarised = false;
    unsigned summary_checks = 0, summary_failures = 0;
};

std::map<std::string, group_report> parse_report(const std::string &console) {
    std::map<std::string, group_report> groups;
    for (const auto &line : xop::lines_with_prefix(console, "@check ")) {
        std::istringstream in(line.substr(7));
        check_line c;
        std::string verdict;
        in >> c.group >> verdict >> c.name;
        std::getline(in, c.detail);
        c.ok = verdict == "ok";
        groups[c.group].checks.push_back(c);
    }
    for (const auto &line : xop::lines_with_prefix(console, "@group ")) {
        std::istringstream in(line.substr(7));
        std::string name;
        unsigned checks, failures;
        if (in >> name >> checks >> failures) {
            auto &g = groups[name];
            g.summarised = true;
            g.summary_checks = checks;
            g.summary_failures = failures;
        }
    }
    return groups;
}

class XopMachine : public testing::Test {
  protected:
    void SetUp() override {
        const saved_run &run = the_run();
        if (!run.unavailable.empty())
            GTEST_SKIP() << "no emulated XOP machine: " << run.unavailable;
        ASSERT_TRUE(run.error.empty()) << run.error << "\nconsole:\n" << run.console;
        groups_ = parse_report(run.console);
    }

    // Every check of `group` passed, the guest's own totals agree with the
    // lines seen, and each of `required` is among the checks.
    void expect_group(const std::string &group, const std::vector<std::string> &required) {
        const auto it = groups_.find(group);
        ASSERT_NE(it, groups_.end()) << "the guest reported nothing for " << group << "\nconsole:\n"
                                     << the_run().console;
        const group_report &g = it->second;
        EXPECT_TRUE(g.summarised) << group << " did not finish";
        EXPECT_EQ(g.summary_checks, g.checks.size());
        EXPECT_EQ(g.summary_failures, 0u);
        for (const auto &c : g.checks) EXPECT_TRUE(c.ok) << group << " " << c.name << c.detail;
        for (const auto &name : required) {
            bool seen = false;
            for (const auto &c : g.checks) seen |= c.name == name;
            EXPECT_TRUE(seen) << group << " lacks the check " << name;
        }
    }

    std::map<std::string, group_report> groups_;
};

TEST_F(XopMachine, GuestRunsToCompletionWithStatusZero) {
    const saved_run &run = the_run();
    printf("emulator run: %.1f s wall; guest exit: %s\n", run.seconds, run.exit_line.c_str());
    EXPECT_EQ(run.exit_line, "status 0") << "\nconsole:\n" << run.console;
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(xop::lines_with_prefix(run.console, "guest: 0 failures").size(), 1u);
}

TEST_F(XopMachine, ProcessorReportsXopAndTheXopFormIsSelected) {
    expect_group("detect",
                 {"feature-xop", "feature-avx", "selected-form-xop", "selected-romix-xop"});
}

TEST_F(XopMachine, SelfTestPassesWithTheXopForm) {
    expect_group("selftest", {"run-by-first-call", "first-call-reports-nothing", "direct-result-7",
                              "direct-reports-nothing", "xop-mix-known-answer",
                              "xop-mix-second-entry-known-answer"});
}

TEST_F(XopMachine, XopChunkMixMatchesPortable) {
    std::vector<std::string> required;
    for (unsigned r : {1, 2, 8, 256}) {
        for (const char *x : {"xor", "no-xor"})
            required.push_back("r=" + std::to_string(r) + ",trial=0," + x);
        required.push_back("r=" + std::to_string(r) + ",null-xor-equals-zero-xor");
    }
    expect_group("chunkmix", required);
}

TEST_F(XopMachine, XopROMixMatchesPortable) {
    expect_group("romix",
                 {"N=2,r=1", "N=16,r=1", "N=64,r=2", "N=1024,r=1", "N=256,r=8", "N=8,r=256"});
}

TEST_F(XopMachine, DerivationsMatchOpenSSL) {
    // One check per derivation the host sent, RFC 7914's vector 3 among them.
    const saved_run &run = the_run();
    const size_t sent = xop::lines_with_prefix(run.arguments, "derive ").size();
    ASSERT_GE(sent, 3u);
    expect_group("derive", {"pw=13B,salt=14B,Nfactor=13,rfactor=3,pfactor=0,len=64"});
    EXPECT_EQ(groups_["derive"].checks.size(), sent);
}

TEST_F(XopMachine, DeriveKeyMatchesOpenSSL) {
    // One check per parameter set the host sent.
    const size_t sent = xop::lines_with_prefix(the_run().arguments, "derive_key ").size();
    ASSERT_EQ(sent, key_case_count);
    expect_group("derive_key", {"N=4,r=257,p=3,len=65"});
    EXPECT_EQ(groups_["derive_key"].checks.size(), sent);
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // xop_test --boot DIR: boot once and leave the run in DIR for the tests.
    if (argc == 3 && strcmp(argv[1], "--boot") == 0) {
        const saved_run run = boot(argv[2]);
        if (!run.unavailable.empty()) {
            // CTest reports the boot as skipped on this line (see CMakeLists.txt).
            printf("SKIPPED: emulated XOP machine unavailable: %s\n", run.unavailable.c_str());
            return 0;
        }
        printf("%s\n", run.console.c_str());
        printf("emulator run: %.1f s wall; guest exit: %s%s%s\n", run.seconds,
               run.exit_line.c_str(), run.error.empty() ? "" : "; ", run.error.c_str());
        return 0;
    }
    return RUN_ALL_TESTS();
}
