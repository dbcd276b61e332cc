// Runs the probe program natively and under QEMU's user-mode emulator with
// processors that lack AVX (Nehalem) or even SSE2 (qemu64 without sse2), and
// checks that the library ran a mixing form the processor has and that every
// key it derived, through either entry point, matches OpenSSL's scrypt.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "derive_cases.h"
#include "support/key_cases.h"
#include "support/openssl_scrypt.h"

namespace {

std::string hex(const std::vector<uint8_t> &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) s += {digits[v >> 4], digits[v & 15]};
    return s;
}

// OpenSSL's key for every case of support/key_cases.h, in hex.
const std::vector<std::string> &oracle_keys_nrp() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (size_t i = 0; i < key_case_count; i++) {
            const key_case &c = key_cases[i];
            const auto key = openssl_scrypt_nrp(key_case_input(i, 0), key_case_input(i, 1), c.N,
                                                c.r, c.p, c.out_len);
            k.push_back(key ? hex(*key) : "openssl refused key case " + std::to_string(i));
        }
        return k;
    }();
    return keys;
}

// OpenSSL's key for every case, in hex.
const std::vector<std::string> &oracle_keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (size_t i = 0; i < derive_case_count; i++) {
            const derive_case &c = derive_cases[i];
            const auto key = openssl_scrypt(std::string_view(c.password, c.password_len),
                                            std::string_view(c.salt, c.salt_len), c.Nfactor,
                                            c.rfactor, c.pfactor, c.out_len);
            k.push_back(key ? hex(*key) : "openssl refused case " + std::to_string(i));
        }
        return k;
    }();
    return keys;
}

std::string find_in_path(const char *program) {
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The forms that a processor with the features named in the probe's "cpu"
// line may run.  Which of them the library chooses is up to its timing of
// them, which means nothing under an emulator.
std::set<std::string> forms_for(const std::string &cpu_line) {
    int sse2 = 0, avx = 0, avx512 = 0, xop = 0;
    if (sscanf(cpu_line.c_str(), "cpu sse2 %d avx %d avx512 %d xop %d", &sse2, &avx, &avx512,
               &xop) != 4)
        return {"(unreadable cpu line: " + cpu_line + ")"};
    std::set<std::string> forms = {"basic"};
    if (sse2) forms.insert("sse2");
    if (avx) forms.insert("avx");
    if (avx512 && avx) forms.insert({"avx512", "avx512tern"});
    if (xop && avx) forms.insert("xop");
    return forms;
}

struct run_case {
    const char *name;
    const char *qemu_cpu;  // null: run natively
    bool static_probe;
    const char *runs;  // the forms this processor runs, for a check of the
                       // cpu line; null: whatever the processor reports
};

void PrintTo(const run_case &c, std::ostream *os) {
    *os << c.name;
}

class ProbeRun : public testing::TestWithParam<run_case> {};

TEST_P(ProbeRun, RunsAFormTheProcessorHasAndMatchesOpenSsl) {
    const run_case &rc = GetParam();
    std::string command;
    if (rc.qemu_cpu) {
        const std::string qemu = find_in_path("qemu-x86_64");
        if (qemu.empty())
            GTEST_SKIP() << "qemu-x86_64 is not installed (Debian package qemu-user), so the "
                            "run on an emulated "
                         << rc.qemu_cpu << " processor cannot be made";
        command = quote(qemu) + " -cpu " + quote(rc.qemu_cpu) + " ";
    }
    command += quote(rc.static_probe ? DERIVE_PROBE_STATIC : DERIVE_PROBE) + " 2>&1";

    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr) << command;
    std::vector<std::string> lines;
    char buf[4096];
    while (fgets(buf, sizeof buf, pipe)) {
        std::string line(buf);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        lines.push_back(line);
    }
    const int status = pclose(pipe);
    std::string all;
    for (const std::string &l : lines) all += l + "\n";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << command << " failed (status " << status << "):\n"
        << all;

    ASSERT_EQ(lines.size(), 2 + derive_case_count + key_case_count) << all;
    // The emulated processor is the one this run means to exercise, and the
    // form that ran is one that the compiler's view of it allows.
    const std::set<std::string> forms = forms_for(lines[0]);
    if (rc.runs) {
        std::string names;
        for (const std::string &f : forms) names += (names.empty() ? "" : " ") + f;
        EXPECT_EQ(names, rc.runs) << command << "\n" << all;
    }
    const std::string &form_line = lines.back();
    ASSERT_EQ(form_line.rfind("form ", 0), 0u) << all;
    EXPECT_EQ(forms.count(form_line.substr(5)), 1u) << form_line << "\n" << all;
    const auto &keys = oracle_keys();
    for (size_t i = 0; i < derive_case_count; i++) {
        const derive_case &c = derive_cases[i];
        EXPECT_EQ(lines[1 + i], "case " + std::to_string(i) + " " + keys[i])
            << "Nfactor " << (int)c.Nfactor << ", rfactor " << (int)c.rfactor << ", pfactor "
            << (int)c.pfactor << ", " << c.out_len << " bytes";
    }
    const auto &keys_nrp = oracle_keys_nrp();
    for (size_t i = 0; i < key_case_count; i++)
        EXPECT_EQ(lines[1 + derive_case_count + i], "key " + std::to_string(i) + " " + keys_nrp[i])
            << "scrypt_derive_key, " << describe(key_cases[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Processors, ProbeRun,
    testing::Values(
        // This machine, as built and fully static.  Natively a VEX form
        // runs here; on other hosts the form their features call for.
        run_case{"native", nullptr, false, nullptr},
        run_case{"native_static", nullptr, true, nullptr},
        // SSE4.2 but no AVX: the SSE2 and portable forms.
        run_case{"qemu_Nehalem", "Nehalem", false, "basic sse2"},
        run_case{"qemu_Nehalem_static", "Nehalem", true, "basic sse2"},
        // No SSE2 reported at all: only the portable form.  Only a static
        // program runs there, since the dynamic loader refuses a processor
        // below the x86-64 baseline.
        run_case{"qemu_qemu64_without_sse2_static", "qemu64,-sse2", true, "basic"},
        // QEMU's own most capable processor: AVX since QEMU 7.2, so the AVX
        // form on a second, emulated implementation of it.
        run_case{"qemu_max", "max", false, nullptr}),
    [](const testing::TestParamInfo<run_case> &info) { return std::string(info.param.name); });

}  // namespace
