// Password strings: hashing, verifying and the rehash check, against keys
// that OpenSSL derives; malformed and hostile strings, and what refusing
// them costs.  Built against the test-only objects (a replaceable getrandom)
// with malloc and its relatives wrapped at link time, so that a test can
// count what the library allocates.
#include <errno.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "passwd/encoding.h"
#include "passwd/random.h"
#include "scrypt-vornik.h"
#include "support/address_space.h"
#include "support/child.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

// ------------------------------------------------------------ allocation count

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);
extern "C" void *__real_realloc(void *, size_t);
extern "C" int __real_posix_memalign(void **, size_t, size_t);
extern "C" void *__real_aligned_alloc(size_t, size_t);
extern "C" void *__real_mmap(void *, size_t, int, int, int, off_t);

namespace {
// Bytes the library asked for while `counting` was set.
bool counting = false;
size_t counted_bytes = 0, counted_calls = 0;
void count(size_t n) {
    if (!counting) return;
    counted_bytes += n;
    counted_calls++;
}
}  // namespace

extern "C" void *__wrap_malloc(size_t n) {
    count(n);
    return __real_malloc(n);
}
extern "C" void *__wrap_calloc(size_t k, size_t n) {
    count(k * n);
    return __real_calloc(k, n);
}
extern "C" void *__wrap_realloc(void *p, size_t n) {
    count(n);
    return __real_realloc(p, n);
}
extern "C" int __wrap_posix_memalign(void **p, size_t a, size_t n) {
    count(n);
    return __real_posix_memalign(p, a, n);
}
extern "C" void *__wrap_aligned_alloc(size_t a, size_t n) {
    count(n);
    return __real_aligned_alloc(a, n);
}
extern "C" void *__wrap_mmap(void *addr, size_t n, int prot, int flags, int fd, off_t off) {
    count(n);
    return __real_mmap(addr, n, prot, flags, fd, off);
}

namespace {

// ------------------------------------------------------------ helpers

const std::string password = "correct horse";

int verify(const std::string &stored, const std::string &pw = password, uint64_t max_memory = 0) {
    return scrypt_verify_password(stored.c_str(), (const uint8_t *)pw.data(), pw.size(),
                                  max_memory);
}

std::string hash(uint64_t N, uint32_t r, uint32_t p, const std::string &pw = password) {
    char out[SCRYPT_PASSWORD_STRBYTES];
    const int status =
        scrypt_hash_password(out, sizeof out, (const uint8_t *)pw.data(), pw.size(), N, r, p);
    EXPECT_EQ(status, SCRYPT_OK);
    return out;
}

// OpenSSL's base64 of bytes, with its padding or without.
std::string base64(const std::vector<uint8_t> &b, bool pad) {
    std::vector<unsigned char> text(4 * (b.size() / 3 + 1) + 1);
    const int n = EVP_EncodeBlock(text.data(), b.data(), (int)b.size());
    std::string s((const char *)text.data(), (size_t)n);
    if (!pad)
        while (!s.empty() && s.back() == '=') s.pop_back();
    return s;
}

// A PHC string whose key OpenSSL derives and encodes.
std::string phc(const std::string &pw, const std::vector<uint8_t> &salt, unsigned ln, uint32_t r,
                uint32_t p, bool pad = false) {
    std::vector<uint8_t> key(32);
    const uint8_t none = 0;
    EXPECT_EQ(EVP_PBE_scrypt(pw.data(), pw.size(), salt.empty() ? &none : salt.data(), salt.size(),
                             uint64_t(1) << ln, r, p, uint64_t(1) << 30, key.data(), key.size()),
              1);
    return "$scrypt$ln=" + std::to_string(ln) + ",r=" + std::to_string(r) +
           ",p=" + std::to_string(p) + "$" + base64(salt, pad) + "$" + base64(key, pad);
}

const std::vector<uint8_t> salt16 = {0x9d, 0x26, 0x07, 0x3f, 0xb4, 0x1a, 0x55, 0xc0,
                                     0x01, 0xfe, 0x80, 0x7f, 0x33, 0x00, 0xe1, 0x4b};

// A "$7$" string with whatever numbers, salt and key, written by the
// library's own encoder: the strings a hostile store might hold.
std::string seven(uint32_t log2_N, uint32_t r, uint32_t p, const std::string &salt = "abcd") {
    const uint8_t key[32] = {};
    std::string out(scrypt_password7_length(salt.size()) + 1, '\0');
    scrypt_format_password7(out.data(), log2_N, r, p, salt.data(), salt.size(), key);
    out.pop_back();
    return out;
}

// ------------------------------------------------------------ hashing

TEST(HashPassword, WritesLibsodiumShapeAndVerifies) {
    const std::string s = hash(1024, 8, 3);
    ASSERT_EQ(s.size(), 101u);
    EXPECT_EQ(s.substr(0, 14),
              "$7$8"
              "6...."
              "1....");  // log2 N 10, r 8, p 3
    EXPECT_EQ(s[57], '$');
    EXPECT_EQ(verify(s), SCRYPT_OK);
    EXPECT_EQ(scrypt_password_needs_rehash(s.c_str(), 1024, 8, 3), 0);
    // Two hashes of one password differ in their salts, hence their keys.
    const std::string t = hash(1024, 8, 3);
    EXPECT_NE(s.substr(14, 43), t.substr(14, 43));
    EXPECT_NE(s.substr(58), t.substr(58));
}

// The "$7$" shape written by an encoder of the test's own (crypt(3)'s
// alphabet, numbers and byte groups least significant first) around the key
// OpenSSL derives from the salt as written: what the library's string must
// be, character for character, whether or not a peer is installed to read
// it.
std::string own_seven(unsigned log2_N, uint32_t r, uint32_t p, const std::string &salt,
                      const std::vector<uint8_t> &key) {
    static const char digits[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    auto number = [&](uint32_t v, unsigned chars) {
        std::string t;
        for (unsigned i = 0; i < chars; i++) t += digits[(v >> (6 * i)) & 63];
        return t;
    };
    std::string bytes;
    for (size_t at = 0; at < key.size(); at += 3) {
        uint32_t group = 0;
        const size_t take = std::min<size_t>(3, key.size() - at);
        for (size_t i = 0; i < take; i++) group |= uint32_t(key[at + i]) << (8 * i);
        bytes += number(group, unsigned(take) + 1);
    }
    return "$7$" + number(log2_N, 1) + number(r, 5) + number(p, 5) + salt + "$" + bytes;
}

TEST(HashPassword, EqualsTheStringOfAnEncoderOfTheTestsOwn) {
    const struct {
        unsigned log2_N;
        uint32_t r, p;
    } cases[] = {{2, 1, 1}, {6, 5, 3}, {10, 8, 1}, {2, 4099, 1}, {2, 1, 65537}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "log2 N " << c.log2_N << " r " << c.r << " p " << c.p);
        const std::string s = hash(uint64_t(1) << c.log2_N, c.r, c.p);
        ASSERT_EQ(s.size(), 101u);
        const std::string salt = s.substr(14, 43);
        std::vector<uint8_t> key(32);
        ASSERT_EQ(EVP_PBE_scrypt(password.data(), password.size(), (const uint8_t *)salt.data(),
                                 salt.size(), uint64_t(1) << c.log2_N, c.r, c.p, uint64_t(1) << 33,
                                 key.data(), key.size()),
                  1);
        EXPECT_EQ(s, own_seven(c.log2_N, c.r, c.p, salt, key));
    }
}

TEST(HashPassword, PasswordsAreBytes) {
    const std::string with_nul("pass\0word\xff", 10);
    const std::string s = hash(16, 1, 1, with_nul);
    EXPECT_EQ(verify(s, with_nul), SCRYPT_OK);
    EXPECT_EQ(verify(s, "pass"), SCRYPT_ERR_MISMATCH);
    const std::string empty = hash(16, 1, 1, "");
    EXPECT_EQ(scrypt_verify_password(empty.c_str(), nullptr, 0, 0), SCRYPT_OK);
}

TEST(HashPassword, RefusesParameters) {
    struct {
        uint64_t N;
        uint32_t r, p;
    } bad[] = {
        {0, 8, 1},
        {2, 8, 1},
        {3, 8, 1},
        {1000, 8, 1},
        {uint64_t(1) << 32, 8, 1},
        {16, 0, 1},
        {16, 1, 0},
        {16, 1, 1u << 30},
        {16, 1u << 15, 1u << 15},
        {16, 8, 1u << 27},
    };
    for (auto &b : bad) {
        SCOPED_TRACE(testing::Message() << "N " << b.N << " r " << b.r << " p " << b.p);
        char out[SCRYPT_PASSWORD_STRBYTES] = "untouched";
        EXPECT_EQ(scrypt_hash_password(out, sizeof out, (const uint8_t *)"pw", 2, b.N, b.r, b.p),
                  SCRYPT_ERR_PARAMETER);
        EXPECT_STREQ(out, "");
        EXPECT_EQ(scrypt_password_needs_rehash(hash(16, 1, 1).c_str(), b.N, b.r, b.p),
                  SCRYPT_ERR_PARAMETER);
    }
    // The largest accepted: r * p just below 2^30.
    EXPECT_EQ(scrypt_password_needs_rehash(hash(16, 1, 1).c_str(), 16, 1u << 15, (1u << 15) - 1),
              1);
    char out[SCRYPT_PASSWORD_STRBYTES];
    EXPECT_EQ(scrypt_hash_password(out, sizeof out, nullptr, 1, 16, 1, 1), SCRYPT_ERR_PARAMETER);
}

TEST(HashPassword, ShortBufferGetsAnEmptyString) {
    char out[SCRYPT_PASSWORD_STRBYTES + 1];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(
        scrypt_hash_password(out, SCRYPT_PASSWORD_STRBYTES - 1, (const uint8_t *)"pw", 2, 16, 1, 1),
        SCRYPT_ERR_BUFFER);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    memset(out, 'x', sizeof out);
    EXPECT_EQ(scrypt_hash_password(out, 0, (const uint8_t *)"pw", 2, 16, 1, 1), SCRYPT_ERR_BUFFER);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(scrypt_hash_password(nullptr, 200, (const uint8_t *)"pw", 2, 16, 1, 1),
              SCRYPT_ERR_BUFFER);
    // Exactly SCRYPT_PASSWORD_STRBYTES is enough, and the byte after it is
    // left alone.
    EXPECT_EQ(
        scrypt_hash_password(out, SCRYPT_PASSWORD_STRBYTES, (const uint8_t *)"pw", 2, 16, 1, 1),
        SCRYPT_OK);
    EXPECT_EQ(strlen(out), 101u);
    EXPECT_EQ(out[SCRYPT_PASSWORD_STRBYTES], 'x');
}

// ------------------------------------------------------------ randomness

// Fakes of getrandom(2): each call takes the next scripted answer.
struct answer {
    ssize_t result;  // >= 0: bytes delivered (each 0x00); < 0: fails with err
    int err;
};
std::vector<answer> script;
size_t script_calls;
ssize_t scripted_getrandom(void *buf, size_t len, unsigned) {
    const answer a = script_calls < script.size() ? script[script_calls] : answer{-1, ENOSYS};
    script_calls++;
    if (a.result < 0) {
        errno = a.err;
        return -1;
    }
    memset(buf, 0, len);
    return a.result;
}

class Randomness : public testing::Test {
  protected:
    void TearDown() override { scrypt_getrandom = getrandom; }
    int run(std::vector<answer> answers, char *out) {
        script = std::move(answers);
        script_calls = 0;
        scrypt_getrandom = scripted_getrandom;
        memset(out, 'x', SCRYPT_PASSWORD_STRBYTES);
        return scrypt_hash_password(out, SCRYPT_PASSWORD_STRBYTES, (const uint8_t *)"pw", 2, 16, 1,
                                    1);
    }
};

TEST_F(Randomness, InterruptedCallsAreRetried) {
    char out[SCRYPT_PASSWORD_STRBYTES];
    ASSERT_EQ(run({{-1, EINTR}, {-1, EINTR}, {32, 0}}, out), SCRYPT_OK);
    EXPECT_EQ(script_calls, 3u);
    // 32 zero bytes are 43 '.' characters: the salt is the random bytes.
    EXPECT_EQ(std::string(out).substr(14, 44), std::string(43, '.') + "$");
    EXPECT_EQ(verify(out, "pw"), SCRYPT_OK);
}

TEST_F(Randomness, FailuresAndShortReadsAreReported) {
    const std::vector<answer> failing[] = {{{-1, ENOSYS}}, {{-1, EAGAIN}}, {{-1, EFAULT}},
                                           {{31, 0}},      {{0, 0}},       {{-1, EINTR}, {16, 0}}};
    for (const auto &answers : failing) {
        char out[SCRYPT_PASSWORD_STRBYTES];
        EXPECT_EQ(run(answers, out), SCRYPT_ERR_RANDOM) << "first answer " << answers[0].result;
        EXPECT_STREQ(out, "");
        EXPECT_EQ(script_calls, answers.size());
    }
}

// ------------------------------------------------------------ verifying

TEST(VerifyPassword, WrongPasswordsAndKeys) {
    const std::string strings[] = {hash(16, 1, 1), hash(64, 2, 5), phc(password, salt16, 4, 8, 1),
                                   phc(password, salt16, 5, 1, 3, true),
                                   phc(password, {}, 4, 1, 1)};
    // (Not "correct horse\0": HMAC pads its key with zeros, so scrypt, in
    // every implementation, gives that password the same key.)
    const std::string wrong[] = {"",
                                 "correct hors",
                                 "correct horse ",
                                 "Correct horse",
                                 std::string("\0correct horse", 14),
                                 "correct horsf"};
    for (const std::string &s : strings) {
        SCOPED_TRACE(s);
        EXPECT_EQ(verify(s), SCRYPT_OK);
        for (const std::string &w : wrong) EXPECT_EQ(verify(s, w), SCRYPT_ERR_MISMATCH) << w;
        // One changed key character: still well-formed, no longer the key.
        std::string t = s;
        char &c = t[t.rfind('$') + 1];
        c = c == 'A' ? 'B' : 'A';
        EXPECT_EQ(verify(t), SCRYPT_ERR_MISMATCH) << t;
    }
}

TEST(VerifyPassword, SaltLengthsOfBothForms) {
    // "$7$" salts are text taken as it stands, of any length and with
    // passlib's '+'; PHC salts decode to up to 1024 bytes.
    for (size_t len : {size_t(0), size_t(1), size_t(22), size_t(300)}) {
        std::string salt(len, '+');
        for (size_t i = 0; i < len; i += 2) salt[i] = "./09AZaz"[i % 8];
        std::vector<uint8_t> key(32);
        ASSERT_EQ(EVP_PBE_scrypt(password.data(), password.size(),
                                 (const uint8_t *)(len ? salt.data() : "x"), len, 16, 1, 2,
                                 uint64_t(1) << 30, key.data(), key.size()),
                  1);
        std::string s(scrypt_password7_length(len) + 1, '\0');
        scrypt_format_password7(s.data(), 4, 1, 2, salt.data(), len, key.data());
        s.pop_back();
        EXPECT_EQ(verify(s), SCRYPT_OK) << s;
        EXPECT_EQ(scrypt_password_needs_rehash(s.c_str(), 16, 1, 2), 1) << s;
    }
    std::vector<uint8_t> salt(1024);
    for (size_t i = 0; i < salt.size(); i++) salt[i] = uint8_t(i * 7);
    EXPECT_EQ(verify(phc(password, salt, 2, 1, 1)), SCRYPT_OK);
    salt.push_back(1);
    EXPECT_EQ(verify(phc(password, salt, 2, 1, 1)), SCRYPT_ERR_FORMAT);
}

// Strings that are not password strings at all: each field broken in turn.
TEST(VerifyPassword, MalformedStrings) {
    const std::string s7 = hash(16, 1, 1);
    const std::string sp = phc(password, salt16, 4, 1, 1);
    ASSERT_EQ(verify(s7), SCRYPT_OK);
    ASSERT_EQ(verify(sp), SCRYPT_OK);
    const std::string salt7 = s7.substr(14, 43), key7 = s7.substr(58);
    const std::string saltp = base64(salt16, false), keyp = sp.substr(sp.rfind('$') + 1);
    auto with = [](std::string s, size_t at, const std::string &text) {
        return s.replace(at, text.size(), text);
    };
    std::vector<std::string> bad = {
        "",
        "$",
        "$7",
        "$7$",
        "$8$" + s7.substr(3),
        "$7$$",
        "7$" + s7.substr(3),
        " " + s7,
        s7 + "\n",
        s7 + "$",
        s7 + ".",
        s7.substr(0, 100),
        with(s7, 3, "!"),
        with(s7, 3, "."),  // log2 N: outside the alphabet; N = 1
        with(s7, 4, "....."),
        with(s7, 9, "....."),  // r = 0, p = 0
        with(s7, 6, "-"),
        with(s7, 13, "\x80"),             // a character of r, of p
        seven(4, 1u << 15, 1u << 15),     // r * p = 2^30
        "$7$2/..../...." + salt7 + key7,  // no '$' before the key
        with(s7, 20, "*"),
        with(s7, 14, "="),
        with(s7, 30, " "),
        with(s7, 56, "-"),
        with(s7, 58, "!"),
        with(s7, 100, "z"),  // last key character: unused bits set
        s7.substr(0, 58) + key7.substr(1),
        s7 + "A",
        "$scrypt$",
        "$SCRYPT$ln=4,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=04,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=01,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,p=1,r=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=1,p=1,x=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=1,p=1$" + keyp,
        "$scrypt$ln=4,r=1,p=1$" + saltp + "$",
        "$scrypt$ln=4,r=1,p=1$" + saltp + "$" + keyp + "$",
        "$scrypt$ln=-4,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=+4,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln= 4,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4294967296,r=1,p=1$" + saltp + "$" + keyp,  // overflowing numbers
        "$scrypt$ln=4,r=99999999999999999999,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=1,p=4294967296$" + saltp + "$" + keyp,
        "$scrypt$ln=0,r=1,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=0,p=1$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=1,p=0$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=65536,p=16384$" + saltp + "$" + keyp,
        "$scrypt$ln=4,r=1,p=1$" + saltp.substr(0, 21) + "$" + keyp,  // 1 mod 4 characters
        "$scrypt$ln=4,r=1,p=1$" + saltp + "=$" + keyp,               // wrong padding
        "$scrypt$ln=4,r=1,p=1$" + saltp + "===$" + keyp,
        "$scrypt$ln=4,r=1,p=1$AA=A$" + keyp,
        "$scrypt$ln=4,r=1,p=1$AAAA=$" + keyp,
        "$scrypt$ln=4,r=1,p=1$AB$" + keyp,  // unused bits set
        "$scrypt$ln=4,r=1,p=1$" + with(saltp, 3, ".") + "$" + keyp,
        "$scrypt$ln=4,r=1,p=1$" + with(saltp, 3, "-") + "$" + keyp,  // URL-safe base64
        "$scrypt$ln=4,r=1,p=1$" + with(saltp, 3, "_") + "$" + keyp,
        "$scrypt$ln=4,r=1,p=1$" + saltp + "$" + keyp.substr(0, 42),  // 31 bytes
        "$scrypt$ln=4,r=1,p=1$" + saltp + "$" + keyp + "AA",         // 33 bytes
        "$scrypt$ln=4,r=1,p=1$" + saltp + "$" + with(keyp, 42, "B"),
    };
    for (size_t n = 0; n < s7.size(); n++) bad.push_back(s7.substr(0, n));
    for (size_t n = 0; n < sp.size(); n++) bad.push_back(sp.substr(0, n));
    for (const std::string &b : bad) {
        SCOPED_TRACE(b);
        counting = true;
        counted_bytes = counted_calls = 0;
        const int v = verify(b, password, UINT64_MAX);
        const int n = scrypt_password_needs_rehash(b.c_str(), 16, 1, 1);
        counting = false;
        EXPECT_EQ(v, SCRYPT_ERR_FORMAT);
        EXPECT_EQ(n, SCRYPT_ERR_FORMAT);
        EXPECT_EQ(counted_calls, 0u);
    }
    EXPECT_EQ(scrypt_verify_password(nullptr, (const uint8_t *)"pw", 2, 0), SCRYPT_ERR_FORMAT);
    EXPECT_EQ(scrypt_password_needs_rehash(nullptr, 16, 1, 1), SCRYPT_ERR_FORMAT);
    EXPECT_EQ(scrypt_verify_password(s7.c_str(), nullptr, 1, 0), SCRYPT_ERR_PARAMETER);
}

TEST(VerifyPassword, PaddingIsOptional) {
    const std::string padded = phc(password, salt16, 4, 2, 1, true);
    EXPECT_NE(padded.find("=="), std::string::npos);
    EXPECT_EQ(verify(padded), SCRYPT_OK);
    EXPECT_EQ(verify(phc(password, salt16, 4, 2, 1, false)), SCRYPT_OK);
}

// ------------------------------------------------------------ the limit

struct costly {
    const char *what;
    std::string stored;
    uint64_t max_memory;
};

// Strings whose cost exceeds the limit: refused at once, with nothing
// allocated.
TEST(VerifyPassword, HostileParametersAreRefusedUnallocated) {
    const std::string sp = phc(password, salt16, 4, 1, 1);
    const std::string tail = sp.substr(sp.find('$', 8));
    const costly cases[] = {
        {"ln 30, r 255: 35 TB", seven(30, 255, 1), 0},
        {"ln 14, r 1, p 2^20: 2^34 work", seven(14, 1, 1u << 20), 0},
        {"log2 N 63", seven(63, 1, 1), 0},
        {"log2 N 63, r 2^30 - 1", seven(63, (1u << 30) - 1, 1), UINT64_MAX},
        {"N 2^32 under no limit", seven(32, 1, 1), UINT64_MAX},
        {"PHC ln 2^32 - 1", "$scrypt$ln=4294967295,r=1,p=1" + tail, UINT64_MAX},
        {"PHC r 2^30 - 1", "$scrypt$ln=20,r=1073741823,p=1" + tail, 0},
        {"one table too large: N 2^21, r 8", seven(21, 8, 1), 0},
        {"one p too many: N 2^20, r 8, p 2", seven(20, 8, 2), 0},
        {"table one byte over", seven(4, 1, 1), 2047},
        {"work one unit over: N 16, r 1, p 4", seven(4, 1, 4), 8191},
        {"work over by p: PHC p 2^29", "$scrypt$ln=1,r=1,p=536870911" + tail, 0},
    };
    for (const costly &c : cases) {
        SCOPED_TRACE(c.what);
        counting = true;
        counted_bytes = counted_calls = 0;
        const int v = verify(c.stored, password, c.max_memory);
        counting = false;
        EXPECT_EQ(v, SCRYPT_ERR_LIMIT) << c.stored;
        EXPECT_EQ(counted_bytes, 0u);
        // needs_rehash parses the same string and computes nothing.
        EXPECT_EQ(scrypt_password_needs_rehash(c.stored.c_str(), 16, 1, 1), 1);
    }
}

TEST(VerifyPassword, LimitBoundariesAdmit) {
    // A table of exactly max_memory, and work of exactly max_memory / 128.
    const std::string table = hash(16, 1, 1);  // 2048 bytes
    EXPECT_EQ(verify(table, password, 2048), SCRYPT_OK);
    EXPECT_EQ(verify(table, password, 2047), SCRYPT_ERR_LIMIT);
    const std::string work = hash(16, 1, 4);  // 64 units
    EXPECT_EQ(verify(work, password, 64 * 128), SCRYPT_OK);
    EXPECT_EQ(verify(work, password, 64 * 128 - 1), SCRYPT_ERR_LIMIT);
    // No RFC bound of N against r: N = 2^16 with r = 1 (RFC 7914 asks for
    // N < 2^(128 r / 8) = 2^16, and OpenSSL refuses it).
    EXPECT_EQ(verify(hash(uint64_t(1) << 16, 1, 1)), SCRYPT_OK);
}

// What an admitted string costs in memory: the calling thread's table,
// N * 128 * r bytes, and its work space, (p + 1) * 128 * r, each with 63
// bytes of alignment slack, and nothing else.  At the edges of the limit M
// (the table at M, the work at M / 128, N as small as the string can name)
// that stays within M + 2 * M / N + 126 bytes.
TEST(VerifyPassword, AdmittedStringsAllocateTheirBuffersOnly) {
    const struct {
        const char *what;
        uint32_t log2_N, r, p;
        uint64_t max_memory;
    } cases[] = {
        {"table at the limit", 4, 1, 1, 2048},
        {"work at the limit", 4, 1, 4, 64 * 128},
        {"r 2: table and work at the limit", 4, 2, 1, 4096},
        {"N 2: table and work at the limit", 1, 1, 1, 256},
        {"N 2, p at the limit", 1, 1, 4, 1024},
        {"N 2^10, r 8, p 3", 10, 8, 3, uint64_t(3) << 20},
    };
    // The self-test of the process's first call allocates buffers of its own.
    EXPECT_EQ(verify(hash(4, 1, 1)), SCRYPT_OK);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t N = uint64_t(1) << c.log2_N, chunk = uint64_t(128) * c.r;
        const uint64_t want = N * chunk + 63 + (c.p + 1) * chunk + 63;
        // The thread's buffers are fitted anew: each case's parameters differ
        // from the call's before it.
        counting = true;
        counted_bytes = counted_calls = 0;
        const int v = verify(seven(c.log2_N, c.r, c.p), password, c.max_memory);
        counting = false;
        EXPECT_EQ(v, SCRYPT_ERR_MISMATCH);
        EXPECT_EQ(counted_bytes, want);
        EXPECT_EQ(counted_calls, 2u);
        EXPECT_LE(counted_bytes, c.max_memory + 2 * c.max_memory / N + 126);
    }
}

// Admitted strings derive: in a child whose address space is capped far
// below their tables, they fail for want of memory where refused strings are
// refused by the limit, so this tells which the limit let through without
// deriving 1 GiB.
TEST(VerifyPassword, DefaultLimitIsLibsodiumsLargestPreset) {
    if (asan_build || RUNNING_ON_VALGRIND)
        GTEST_SKIP() << "needs an address-space cap, which AddressSanitizer's shadow memory and "
                        "valgrind's allocator do not allow";
    const costly cases[] = {
        {"N 2^20, r 8, p 1: admitted by 0", seven(20, 8, 1), 0},
        {"N 2^19, r 16, p 1: admitted by 0", seven(19, 16, 1), 0},
        {"N 2^20, r 8, p 2: refused by 0", seven(20, 8, 2), 0},
        {"N 2^31, r 1: admitted by no limit", seven(31, 1, 1), UINT64_MAX},
        {"N 2^32, r 1: refused by no limit", seven(32, 1, 1), UINT64_MAX},
    };
    for (const costly &c : cases) {
        SCOPED_TRACE(c.what);
        const bool admitted = strstr(c.what, "admitted") != nullptr;
        const child_result r = in_child([&] {
            const rlim_t cap = address_space_in_use() + (rlim_t(64) << 20);
            const struct rlimit limit = {cap, cap};
            if (setrlimit(RLIMIT_AS, &limit) != 0) return 101;
            return -verify(c.stored, password, c.max_memory);
        });
        ASSERT_TRUE(r.exited) << r.output;
        EXPECT_EQ(-r.status, admitted ? SCRYPT_ERR_MEMORY : SCRYPT_ERR_LIMIT) << r.output;
    }
}

// ------------------------------------------------------------ rehash

TEST(NeedsRehash, OnlyTheOwnShapeWithTheSameParameters) {
    const std::string s = hash(64, 4, 3);
    EXPECT_EQ(scrypt_password_needs_rehash(s.c_str(), 64, 4, 3), 0);
    const struct {
        uint64_t N;
        uint32_t r, p;
    } other[] = {{32, 4, 3}, {128, 4, 3}, {64, 2, 3}, {64, 8, 3}, {64, 4, 2}, {64, 4, 4}};
    for (auto &o : other)
        EXPECT_EQ(scrypt_password_needs_rehash(s.c_str(), o.N, o.r, o.p), 1)
            << o.N << " " << o.r << " " << o.p;
    // The same parameters in another shape: PHC, a 42- or 44-character
    // salt, a salt with passlib's '+'.
    const std::string shapes[] = {
        phc(password, salt16, 6, 4, 3), seven(6, 4, 3, std::string(42, 'a')),
        seven(6, 4, 3, std::string(44, 'a')), seven(6, 4, 3, std::string("+").append(42, 'a'))};
    for (const std::string &t : shapes)
        EXPECT_EQ(scrypt_password_needs_rehash(t.c_str(), 64, 4, 3), 1) << t;
    EXPECT_EQ(scrypt_password_needs_rehash(seven(6, 4, 3, std::string(43, 'a')).c_str(), 64, 4, 3),
              0);
}

}  // namespace
