// Password strings both ways with the peers that read and write them:
// libsodium (crypto_pwhash_scryptsalsa208sha256_str*), libxcrypt's crypt(3)
// and passlib (Python).  Strings they make verify here; strings made here
// verify there.  Linked with the shipped archive, as a host links it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "scrypt-vornik.h"

#ifdef SCRYPT_TEST_SODIUM
#include <sodium.h>
#endif
#ifdef SCRYPT_TEST_XCRYPT
#include "support/xcrypt_string.h"
#endif

namespace {

const std::string password = "correct horse battery";
const std::string wrong = "correct horse battery!";

int verify(const std::string &stored, const std::string &pw) {
    return scrypt_verify_password(stored.c_str(), (const uint8_t *)pw.data(), pw.size(), 0);
}

std::string hash(uint64_t N, uint32_t r, uint32_t p) {
    char out[SCRYPT_PASSWORD_STRBYTES];
    EXPECT_EQ(scrypt_hash_password(out, sizeof out, (const uint8_t *)password.data(),
                                   password.size(), N, r, p),
              SCRYPT_OK);
    return out;
}

// Parameters for strings made here: libsodium's own shape (r = 8, and p
// that is not a power of two), crypt(3)'s r = 32, and the smallest N.
struct params {
    uint64_t N;
    uint32_t r, p;
};
const params own_params[] = {{1024, 8, 1}, {1024, 8, 3}, {512, 8, 5}, {16384, 8, 1},
                             {256, 32, 1}, {4, 1, 1},    {64, 2, 13}};

// Every string here verifies with the right password and fails with a wrong
// one.
void expect_verifies_here(const std::string &s) {
    SCOPED_TRACE(s);
    EXPECT_EQ(verify(s, password), SCRYPT_OK);
    EXPECT_EQ(verify(s, wrong), SCRYPT_ERR_MISMATCH);
}

// ------------------------------------------------------------ libsodium

#ifdef SCRYPT_TEST_SODIUM
// One character's value in the "$7$" alphabet.
unsigned value7(char c) {
    static const char alphabet[] =
        "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    return unsigned(strchr(alphabet, c) - alphabet);
}

TEST(Libsodium, StringsVerifyHere) {
    ASSERT_GE(sodium_init(), 0);
    // libsodium picks N, r = 8 and p from its limits: with a 1 MiB memory
    // limit N = 1024, and p = opslimit / (4 * 1024 * 8).
    const struct {
        unsigned long long opslimit;
        size_t memlimit;
        char p;                            // p's first character
    } limits[] = {{32768, 1 << 20, '/'},   // p = 1
                  {98304, 1 << 20, '1'},   // p = 3
                  {163840, 1 << 20, '3'},  // p = 5
                  {425984, 1 << 20, 'B'},  // p = 13
                  {crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_INTERACTIVE,
                   crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_INTERACTIVE, '/'}};
    for (auto &l : limits) {
        char s[crypto_pwhash_scryptsalsa208sha256_STRBYTES];
        ASSERT_EQ(crypto_pwhash_scryptsalsa208sha256_str(s, password.data(), password.size(),
                                                         l.opslimit, l.memlimit),
                  0);
        ASSERT_EQ(s[9], l.p) << s;
        expect_verifies_here(s);
        // libsodium's strings have the shape of the library's own.
        const uint64_t N = uint64_t(1) << value7(s[3]);
        const uint32_t p = uint32_t(value7(s[9]));
        EXPECT_EQ(scrypt_password_needs_rehash(s, N, 8, p), 0) << s;
        EXPECT_EQ(scrypt_password_needs_rehash(s, N * 2, 8, p), 1) << s;
    }
}

TEST(Libsodium, OwnStringsVerifyThere) {
    ASSERT_GE(sodium_init(), 0);
    for (const params &p : own_params) {
        const std::string s = hash(p.N, p.r, p.p);
        SCOPED_TRACE(s);
        EXPECT_EQ(crypto_pwhash_scryptsalsa208sha256_str_verify(s.c_str(), password.data(),
                                                                password.size()),
                  0);
        EXPECT_EQ(
            crypto_pwhash_scryptsalsa208sha256_str_verify(s.c_str(), wrong.data(), wrong.size()),
            -1);
    }
}
#else
TEST(Libsodium, StringsVerifyHere) {
    GTEST_SKIP() << "libsodium was not found at configuration (Debian: libsodium-dev)";
}
TEST(Libsodium, OwnStringsVerifyThere) {
    GTEST_SKIP() << "libsodium was not found at configuration (Debian: libsodium-dev)";
}
#endif

// ------------------------------------------------------------ libxcrypt

#ifdef SCRYPT_TEST_XCRYPT
TEST(Libxcrypt, StringsVerifyHere) {
    std::vector<std::string> settings;
    // crypt_gensalt's own settings (r = 32, a 22-character salt) at its
    // default cost (N = 2^14) and its cheapest (count 6, N = 2^13).
    for (unsigned long count : {0ul, 6ul}) {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        ASSERT_NE(crypt_gensalt_rn("$7$", count, nullptr, 0, setting, sizeof setting), nullptr)
            << "this libxcrypt has no \"$7$\" (scrypt) method";
        settings.push_back(setting);
    }
    // crypt_r takes any parameters and salt: p = 3 and 5 with r = 8, a
    // one-character salt, the smallest N it takes (log2 N = 2).
    settings.push_back("$7$86....1....abcdefghijklmnop");
    settings.push_back("$7$76....3....z");
    settings.push_back("$7$0/..../....saltsalt");
    for (const std::string &setting : settings) {
        const std::string s = crypt_string(password, setting);
        ASSERT_NE(s, "") << "crypt_r refused " << setting;
        expect_verifies_here(s);
    }
}

TEST(Libxcrypt, OwnStringsVerifyThere) {
    for (const params &p : own_params) {
        const std::string s = hash(p.N, p.r, p.p);
        SCOPED_TRACE(s);
        // crypt_r recomputes the whole string from the setting in it.
        EXPECT_EQ(crypt_string(password, s), s);
        EXPECT_NE(crypt_string(wrong, s), s);
    }
}
#else
TEST(Libxcrypt, StringsVerifyHere) {
    GTEST_SKIP() << "libxcrypt was not found at configuration (Debian: libcrypt-dev)";
}
TEST(Libxcrypt, OwnStringsVerifyThere) {
    GTEST_SKIP() << "libxcrypt was not found at configuration (Debian: libcrypt-dev)";
}
#endif

// ------------------------------------------------------------ passlib

#ifdef SCRYPT_TEST_PASSLIB_PYTHON
// Runs a Python program with passlib (no single quotes in it or in the
// arguments) and returns its output lines.
std::vector<std::string> python(const std::string &program, const std::vector<std::string> &args) {
    std::string command = SCRYPT_TEST_PASSLIB_PYTHON " -c '" + program + "'";
    for (const std::string &a : args) command += " '" + a + "'";
    std::vector<std::string> lines;
    FILE *f = popen(command.c_str(), "r");
    if (f == nullptr) return lines;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        std::string l = line;
        if (!l.empty() && l.back() == '\n') l.pop_back();
        lines.push_back(l);
    }
    EXPECT_EQ(pclose(f), 0) << command;
    return lines;
}

TEST(Passlib, StringsVerifyHere) {
    const std::vector<std::string> made = python(
        "import sys\n"
        "from passlib.hash import scrypt\n"
        "for ident in (\"$scrypt$\", \"$7$\"):\n"
        "    for ln, r, p in ((10, 8, 1), (10, 8, 3), (4, 1, 5), (1, 2, 1), (12, 4, 2)):\n"
        "        h = scrypt.using(ident=ident, rounds=ln, block_size=r, parallelism=p)\n"
        "        print(h.hash(sys.argv[1]))\n"
        "print(scrypt.using(salt_size=32, rounds=8).hash(sys.argv[1]))\n"
        "print(scrypt.using(ident=\"$7$\", salt_size=32, rounds=8).hash(sys.argv[1]))\n",
        {password});
    ASSERT_EQ(made.size(), 12u);
    for (const std::string &s : made) expect_verifies_here(s);
}

TEST(Passlib, OwnStringsVerifyThere) {
    std::vector<std::string> args = {password, wrong};
    for (const params &p : own_params) args.push_back(hash(p.N, p.r, p.p));
    const std::vector<std::string> verdicts = python(
        "import sys\n"
        "from passlib.hash import scrypt\n"
        "for h in sys.argv[3:]:\n"
        "    print(scrypt.verify(sys.argv[1], h), scrypt.verify(sys.argv[2], h))\n",
        args);
    ASSERT_EQ(verdicts.size(), args.size() - 2);
    for (size_t i = 0; i < verdicts.size(); i++)
        EXPECT_EQ(verdicts[i], "True False") << args[i + 2];
}
#else
TEST(Passlib, StringsVerifyHere) {
    GTEST_SKIP() << "python3 with passlib was not found at configuration (Debian: python3-passlib)";
}
TEST(Passlib, OwnStringsVerifyThere) {
    GTEST_SKIP() << "python3 with passlib was not found at configuration (Debian: python3-passlib)";
}
#endif

}  // namespace
