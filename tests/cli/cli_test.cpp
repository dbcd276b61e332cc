// The scrypt-vornik program as a child process: its argument parser (every
// refusal is exit status 2 with one line on standard error), its keys
// against OpenSSL in each output format, its password strings against
// libsodium and crypt(3) both ways, write errors, and calibration's bounds.
// The terminal prompt is driven by pty_test.py.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/openssl_scrypt.h"

#ifdef SCRYPT_TEST_SODIUM
#include <sodium.h>
#endif
#ifdef SCRYPT_TEST_XCRYPT
#include "support/xcrypt_string.h"
#endif

namespace {

struct result {
    int status = -1;  // exit status, or -1 when ended by a signal
    std::string out, err;
};

std::string read_fd(int fd) {
    std::string s;
    lseek(fd, 0, SEEK_SET);
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(got));
    return s;
}

// Standard output closed, as by `>&-`, when given as run()'s `out_path`.
const char closed_stdout[] = "";

// Runs the program with `args` and `input` as standard input (a file, so
// that it is not a terminal); standard output goes to `out_path` when given
// (closed when it is closed_stdout).
result run(const std::vector<std::string> &args, const std::string &input = "",
           const char *out_path = nullptr) {
    result r;
    const int in = memfd_create("stdin", 0), out = memfd_create("stdout", 0),
              err = memfd_create("stderr", 0);
    EXPECT_TRUE(in >= 0 && out >= 0 && err >= 0);
    EXPECT_EQ(write(in, input.data(), input.size()), ssize_t(input.size()));
    lseek(in, 0, SEEK_SET);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        if (out_path == closed_stdout) {
            close(1);
        } else if (out_path) {
            const int f = open(out_path, O_WRONLY);
            if (f < 0) _exit(99);
            dup2(f, 1);
        } else {
            dup2(out, 1);
        }
        dup2(err, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(SCRYPT_VORNIK_PROGRAM));
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(SCRYPT_VORNIK_PROGRAM, argv.data());
        _exit(98);
    }
    int status;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_fd(out);
    r.err = read_fd(err);
    close(in);
    close(out);
    close(err);
    return r;
}

std::string describe(const std::vector<std::string> &args) {
    std::string s;
    for (auto &a : args) s += " '" + a + "'";
    return s;
}

// Trouble: status 2, nothing on standard output, and exactly one line on
// standard error that starts with the program's name.
void expect_trouble(const result &r, const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("scrypt-vornik: ", 0), 0u) << r.err;
    EXPECT_TRUE(!r.err.empty() && r.err.back() == '\n' && r.err.find('\n') == r.err.size() - 1)
        << "not one line: " << r.err;
}

// A "$7$" string of the program's own, cheap enough to verify many times.
std::string own_string(const std::string &password, const char *N = "1024") {
    const result r = run({"hash", "-N", N}, password + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 102u) << r.out;  // 101 characters and a newline
    return r.out.substr(0, r.out.size() - 1);
}

TEST(CliArguments, RefusalsAreStatusTwoWithOneLine) {
    const std::string s = own_string("pw");
    // The same string with N = 2^21 (2 GiB of table, over the default
    // 1 GiB limit): the fourth character is log2 N in the "$7$" alphabet.
    std::string big = s;
    big[3] = 'J';
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"-N", "1024"},
        {"HASH"},
        // -N: missing, not a power of two, out of range, signs, junk
        {"hash", "-N"},
        {"hash", "-N", "1000"},
        {"hash", "-N", "0"},
        {"hash", "-N", "1"},
        {"hash", "-N", "2"},  // a password string needs N >= 4
        {"hash", "-N", "4294967296"},
        {"hash", "-N", "-16"},
        {"hash", "-N", "+16"},
        {"hash", "-N", " 16"},
        {"hash", "-N", "16 "},
        {"hash", "-N", "16k"},
        {"hash", "-N", "0x10"},
        {"hash", "-N", "99999999999999999999999"},
        {"hash", "-N", ""},
        // -r, -p: zero, too large, their product
        {"hash", "-r", "0"},
        {"hash", "-p", "0"},
        {"hash", "-r", "1073741824"},
        {"hash", "-r", "1024", "-p", "1048576"},
        {"hash", "-p", "18446744073709551617"},
        // --time, --memory
        {"hash", "--time", "0"},
        {"hash", "--time", "-1"},
        {"hash", "--time", "nan"},
        {"hash", "--time", "inf"},
        {"hash", "--time", "1e400"},
        {"hash", "--time", "1e10"},
        {"hash", "--time", "0x1p-3"},
        {"hash", "--time", ""},
        {"hash", "--time", "1s"},
        {"hash", "--time", "0.1", "--memory", "0"},
        {"hash", "--time", "0.1", "--memory", "0K"},
        {"hash", "--time", "0.1", "--memory", "1Q"},
        {"hash", "--time", "0.1", "--memory", "1KK"},
        {"hash", "--time", "0.1", "--memory", "1k"},
        {"hash", "--time", "0.1", "--memory", "K"},
        {"hash", "--time", "0.1", "--memory", "-1M"},
        {"hash", "--time", "0.1", "--memory", "18446744073709551616"},
        {"hash", "--time", "0.1", "--memory", "17179869184G"},
        {"hash", "--time", "0.1", "--memory", "2047"},
        {"hash", "--time", "0.1", "--memory", "3K"},  // a string needs N >= 4
        {"hash", "--memory", "1M"},
        {"hash", "--time", "0.1", "-N", "1024"},
        {"hash", "--time=0.1", "--time=0.2"},
        {"hash", "-N", "16", "-N", "32"},
        {"hash", "extra"},
        {"hash", "-x", "1"},
        {"hash", "--salt", "x"},
        // verify
        {"verify"},
        {"verify", s, s},
        {"verify", "--max-memory", "0", s},
        {"verify", "--max-memory", "1X", s},
        {"verify", "--max-memory"},
        {"verify", "not a string"},
        {"verify", "$7$"},
        {"verify", "--max-memory", "512K", s},  // N = 1024: a 1 MiB table
        {"verify", big},
        // derive
        {"derive"},
        {"derive", "-N", "1024"},
        {"derive", "--salt"},
        {"derive", "--salt", "s", "-l", "0"},
        {"derive", "--salt", "s", "-l", "137438953441"},
        {"derive", "--salt", "s", "-l", "-1"},
        {"derive", "--salt", "s", "--format", "oct"},
        {"derive", "--salt", "s", "--format", "HEX"},
        {"derive", "--salt", "s", "--format"},
        {"derive", "--salt", "s", "positional"},
        // calibrate, info, --help, --version
        {"calibrate", "--time", "0"},
        {"calibrate", "--memory", "1000"},
        {"calibrate", "-N", "16"},
        {"info", "extra"},
        {"--help", "extra"},
        {"--version", "extra"},
        {"--bogus"},
    };
    for (auto &args : cases) expect_trouble(run(args, "pw\n"), describe(args));
}

// Arguments quoted in a message show their control characters escaped: an
// argument cannot add a line of its own, or steer the terminal.
TEST(CliArguments, ControlCharactersInMessagesAreEscaped) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"frob\nscrypt-vornik: fake"}, "'frob\\nscrypt-vornik: fake'"},
        {{"hash", "--bo\rgus"}, "'--bo\\rgus'"},
        {{"hash", "-N", "16", "x\ty"}, "'x\\ty'"},
        {{"derive", "--salt", "s", "\x1b[2Jz\x7f"}, "'\\x1b[2Jz\\x7f'"},
    };
    for (const auto &[args, shown] : cases) {
        const result r = run(args, "pw\n");
        expect_trouble(r, describe(args));
        EXPECT_NE(r.err.find(shown), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    }
}

// Sizes with and without suffixes are taken: calibrate keeps the table
// within them.
TEST(CliArguments, SizesAndTimesAccepted) {
    const struct {
        const char *memory;
        uint64_t bytes;
    } sizes[] = {{"2048", 2048}, {"2K", 2048}, {"3K", 3072}, {"1M", 1 << 20}, {"1G", 1u << 30}};
    for (auto &k : sizes) {
        const result r = run({"calibrate", "--time=0.002", "--memory", k.memory});
        ASSERT_EQ(r.status, 0) << k.memory << ": " << r.err;
        unsigned long long N = 0;
        unsigned rr = 0, p = 0;
        ASSERT_EQ(sscanf(r.out.c_str(), "N=%llu r=%u p=%u\n", &N, &rr, &p), 3) << r.out;
        EXPECT_LE(N * 128 * rr, k.bytes) << k.memory;
        EXPECT_EQ(r.err, "");
    }
    for (const char *t : {"1", "0.5", ".5", "1e-3", "2E-3"}) {
        const result r = run({"calibrate", "--time", t, "--memory", "64K"});
        EXPECT_EQ(r.status, 0) << t << ": " << r.err;
    }
}

TEST(CliArguments, HelpAndVersion) {
    const result h = run({"--help"});
    EXPECT_EQ(h.status, 0);
    for (const char *word : {"hash", "verify", "derive", "calibrate", "info"})
        EXPECT_NE(h.out.find(word), std::string::npos) << word;
    const result v = run({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("scrypt-vornik ", 0), 0u) << v.out;
}

// --------------------------------------------------------------- derive

std::string hex(const std::vector<uint8_t> &k) {
    std::string s;
    char b[3];
    for (uint8_t c : k) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

std::string base64(const std::vector<uint8_t> &k) {
    std::string s(4 * ((k.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&s[0]), k.data(), int(k.size()));
    s.resize(size_t(n));
    return s;
}

// RFC 7914's vectors (section 12) and a few more, in each output format,
// against OpenSSL.  The password is standard input up to its first newline:
// any bytes, NULs and all, with or without the newline, however long.
TEST(CliDerive, KeysMatchOpenSslInEachFormat) {
    const struct {
        std::string password, input, salt;
        uint64_t N;
        uint32_t r, p;
        size_t len;
    } cases[] = {
        {"", "", "", 16, 1, 1, 64},
        {"password", "password", "NaCl", 1024, 8, 16, 64},
        {"pleaseletmein", "pleaseletmein\n", "SodiumChloride", 16384, 8, 1, 64},
        {"pw", "pw\nthe rest is not the password\n", "salt", 1024, 8, 1, 32},
        {std::string("a\0b\xff\r", 5), std::string("a\0b\xff\r\n", 6), "s", 256, 2, 3, 1},
        {std::string(300000, 'x'), std::string(300000, 'x'), "long", 64, 1, 1, 33},
        {"p", "p", "s", 32, 4, 1, 65},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.salt << " N " << c.N);
        const auto want = openssl_scrypt_nrp(c.password, c.salt, c.N, c.r, c.p, c.len);
        ASSERT_TRUE(want.has_value());
        const std::vector<std::string> base = {"derive",
                                               "--salt",
                                               c.salt,
                                               "-N",
                                               std::to_string(c.N),
                                               "-r",
                                               std::to_string(c.r),
                                               "-p",
                                               std::to_string(c.p),
                                               "-l",
                                               std::to_string(c.len)};
        auto with = [&](std::vector<std::string> extra) {
            auto a = base;
            a.insert(a.end(), extra.begin(), extra.end());
            return run(a, c.input);
        };
        const result h = with({}), h2 = with({"--format", "hex"}), b = with({"--format=base64"}),
                     raw = with({"--format", "raw"});
        for (const result *r : {&h, &h2, &b, &raw}) {
            EXPECT_EQ(r->status, 0) << r->err;
            EXPECT_EQ(r->err, "");
        }
        EXPECT_EQ(h.out, hex(*want) + "\n");
        EXPECT_EQ(h2.out, h.out);
        EXPECT_EQ(b.out, base64(*want) + "\n");
        EXPECT_EQ(raw.out, std::string(want->begin(), want->end()));
    }
}

// The defaults: N 16384, r 8, p 1, 32 bytes, hex.
TEST(CliDerive, Defaults) {
    const auto want = openssl_scrypt_nrp("pw", "salt", 16384, 8, 1, 32);
    const result r = run({"derive", "--salt", "salt"}, "pw\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, hex(*want) + "\n");
}

// A write error (a full device) is trouble, for every command that writes.
TEST(CliOutput, WriteErrorsAreTrouble) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full here";
    const std::vector<std::vector<std::string>> cases = {
        {"derive", "--salt", "s", "-N", "16"},
        {"derive", "--salt", "s", "-N", "16", "--format", "raw"},
        {"derive", "--salt", "s", "-N", "16", "--format", "base64"},
        {"hash", "-N", "16"},
        {"calibrate", "--time", "0.001", "--memory", "64K"},
        {"info"},
        {"--help"},
        {"--version"},
    };
    for (auto &args : cases) {
        const result r = run(args, "pw\n", "/dev/full");
        expect_trouble(r, describe(args));
        EXPECT_NE(r.err.find("No space left"), std::string::npos) << r.err;
    }
}

// ----------------------------------------------------- password strings

const std::string password = "correct horse battery";
const std::string wrong = "correct horse battery!";

int verify_status(const std::string &s, const std::string &pw) {
    const result r = run({"verify", s}, pw);
    if (r.status == 1) {
        EXPECT_EQ(r.err, "") << "a mismatch is no trouble";
    }
    return r.status;
}

TEST(CliStrings, OwnVerifyHereWithStatusZeroOrOne) {
    const std::string s = own_string(password);
    EXPECT_EQ(s.rfind("$7$8", 0), 0u) << s;  // N = 2^10
    EXPECT_EQ(verify_status(s, password), 0);
    EXPECT_EQ(verify_status(s, password + "\n"), 0);
    EXPECT_EQ(verify_status(s, wrong), 1);
    EXPECT_EQ(verify_status(s, ""), 1);
    // verify writes nothing, so a closed standard output is no trouble.
    for (const auto &[pw, want] : {std::pair{password, 0}, std::pair{wrong, 1}}) {
        const result r = run({"verify", s}, pw, closed_stdout);
        EXPECT_EQ(r.status, want) << r.err;
        EXPECT_EQ(r.err, "");
    }
    // The default cost: N = 2^14, r = 8, p = 1.
    const result d = run({"hash"}, password);
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out.rfind("$7$C6..../....", 0), 0u) << d.out;
    // Calibrated: a table within the memory given.
    const result t = run({"hash", "--time", "0.01", "--memory", "256K"}, password);
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(verify_status(t.out.substr(0, t.out.size() - 1), password), 0);
    EXPECT_LE(t.out[3], '6') << t.out;  // N at most 2^8 = 256 (log2 N '6')
}

#ifdef SCRYPT_TEST_SODIUM
TEST(CliStrings, Libsodium) {
    ASSERT_GE(sodium_init(), 0);
    for (const char *N : {"16", "1024", "16384"}) {
        const std::string s = own_string(password, N);
        EXPECT_EQ(crypto_pwhash_scryptsalsa208sha256_str_verify(s.c_str(), password.data(),
                                                                password.size()),
                  0)
            << s;
        EXPECT_EQ(
            crypto_pwhash_scryptsalsa208sha256_str_verify(s.c_str(), wrong.data(), wrong.size()),
            -1);
    }
    char s[crypto_pwhash_scryptsalsa208sha256_STRBYTES];
    ASSERT_EQ(
        crypto_pwhash_scryptsalsa208sha256_str(s, password.data(), password.size(), 98304, 1 << 20),
        0);
    EXPECT_EQ(verify_status(s, password), 0) << s;
    EXPECT_EQ(verify_status(s, wrong), 1) << s;
}
#else
TEST(CliStrings, Libsodium) {
    GTEST_SKIP() << "libsodium was not found at configuration (Debian: libsodium-dev)";
}
#endif

#ifdef SCRYPT_TEST_XCRYPT
TEST(CliStrings, Crypt) {
    for (const char *N : {"16", "1024"}) {
        const std::string s = own_string(password, N);
        EXPECT_EQ(crypt_string(password, s), s);
        EXPECT_NE(crypt_string(wrong, s), s);
    }
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn("$7$", 6, nullptr, 0, setting, sizeof setting), nullptr);
    const std::string s = crypt_string(password, setting);
    ASSERT_NE(s, "");
    EXPECT_EQ(verify_status(s, password), 0) << s;
    EXPECT_EQ(verify_status(s, wrong), 1) << s;
}
#else
TEST(CliStrings, Crypt) {
    GTEST_SKIP() << "libxcrypt was not found at configuration (Debian: libcrypt-dev)";
}
#endif

// ---------------------------------------------------------- calibrate

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The bounds that hold whatever the load: the table within --memory, r = 8,
// the first line's shape, and the whole command (self-test, calibration
// and one timed derivation) far within its budget.  How close the time
// comes to --time is measured by tests/cli/measure.sh, not here.
TEST(CliCalibrate, BoundsAndOutput) {
    const double t0 = now();
    const result r = run({"calibrate", "--time", "0.05", "--memory", "8M"});
    const double took = now() - t0;
    ASSERT_EQ(r.status, 0) << r.err;
    unsigned long long N = 0;
    unsigned rr = 0, p = 0;
    ASSERT_EQ(sscanf(r.out.c_str(), "N=%llu r=%u p=%u\n", &N, &rr, &p), 3) << r.out;
    EXPECT_EQ(rr, 8u);
    EXPECT_EQ(N & (N - 1), 0u);
    EXPECT_LE(N * 128 * rr, 8u << 20);
    EXPECT_GE(p, 1u);
    EXPECT_NE(r.out.find("\ntime: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nmemory: table "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" (--memory 8.0 MiB), work space "), std::string::npos) << r.out;
    EXPECT_LT(took, 5.0);
}

TEST(CliInfo, NamesTheFormAndTheProcessor) {
    const result r = run({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line : {"scrypt-vornik ", "\nprocessor: ", "\nmixing form in use: ",
                             "\nranking", "\nlane forms", "\nself-test: passed"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
}

}  // namespace
