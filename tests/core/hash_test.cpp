// The hash layer against OpenSSL and the published examples.
#include <gtest/gtest.h>
#include <string.h>

#include "dispatch/cpu.h"
#include "hash/hash.h"
#include "oracle.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_DEFINED(p, n) ((void)(p), (void)(n))
#endif

namespace {

bytes digest_in_pieces(const bytes &m, const std::vector<size_t> &pieces) {
    hash_context ctx;
    scrypt_hash_init(&ctx);
    size_t at = 0;
    for (size_t n : pieces) {
        scrypt_hash_update(&ctx, m.data() + at, n);
        at += n;
    }
    bytes out(32);
    scrypt_hash_finish(&ctx, out.data());
    return out;
}

TEST(Sha256, PublishedExamples) {
    struct {
        bytes message;
        const char *hex;
    } cases[] = {
        {text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {text(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (auto &c : cases) {
        uint8_t out[32];
        scrypt_hash(out, c.message.data(), c.message.size());
        char hex[65];
        for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", out[i]);
        EXPECT_STREQ(hex, c.hex);
    }
}

// Every message length up to four blocks and beyond, fed whole, byte by byte
// and in random pieces (empty ones and block-straddling ones included).
TEST(Sha256, AnySplitMatchesOpenSSL) {
    std::mt19937_64 rng(1);
    for (size_t len = 0; len <= 300; len++) {
        bytes m = random_bytes(rng, len);
        const bytes want = openssl_sha256(m);
        ASSERT_EQ(digest_in_pieces(m, {len}), want) << "whole, length " << len;
        ASSERT_EQ(digest_in_pieces(m, std::vector<size_t>(len, 1)), want) << "bytewise " << len;
        std::vector<size_t> pieces;
        for (size_t left = len; left > 0;) {
            size_t n = std::min<size_t>(left, rng() % 150);
            pieces.push_back(n);  // may be 0
            left -= n;
        }
        pieces.push_back(0);
        ASSERT_EQ(digest_in_pieces(m, pieces), want) << "random pieces, length " << len;
    }
}

// The form with the processor's SHA-256 instructions against the portable
// one, word for word, from random chaining words over runs of 1 to 9 blocks
// (the digests above come from whichever form runs here).
TEST(Sha256, BothFormsGiveTheSameWords) {
#if SCRYPT_X86_64
    if (!(detect_cpu() & FEATURE_SHA))
        GTEST_SKIP() << "this processor lacks the SHA-256 instructions (or SSSE3 and SSE4.1)";
    std::mt19937_64 rng(2);
    for (int run = 0; run < 200; run++) {
        const uint64_t blocks = 1 + run % 9;
        const bytes data = random_bytes(rng, 64 * blocks);
        uint32_t portable[8], shani[8];
        for (uint32_t &w : portable) w = (uint32_t)rng();
        memcpy(shani, portable, sizeof shani);
        sha256_blocks_portable(portable, data.data(), blocks);
        sha256_blocks_shani(shani, data.data(), blocks);
        ASSERT_EQ(memcmp(portable, shani, sizeof shani), 0) << "run " << run << ", " << blocks;
    }
#else
    GTEST_SKIP() << "the SHA-256 instructions' form exists on x86-64 only";
#endif
}

TEST(Hmac, KeysOfEveryKindMatchOpenSSL) {
    std::mt19937_64 rng(2);
    for (size_t key_len : {0, 1, 32, 63, 64, 65, 200}) {
        for (size_t msg_len : {0, 1, 55, 56, 64, 119, 1000}) {
            bytes key = random_bytes(rng, key_len), m = random_bytes(rng, msg_len);
            hmac_context ctx;
            scrypt_hmac_init(&ctx, key.data(), key.size());
            // Two updates, to cover the split path too.
            scrypt_hmac_update(&ctx, m.data(), msg_len / 3);
            scrypt_hmac_update(&ctx, m.data() + msg_len / 3, msg_len - msg_len / 3);
            bytes out(32);
            scrypt_hmac_finish(&ctx, out.data());
            EXPECT_EQ(out, openssl_hmac(key, m)) << "key " << key_len << ", message " << msg_len;
            const hmac_context zero{};
            EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0) << "context not wiped";
        }
    }
}

TEST(Pbkdf2, PublishedVectorWithOneIteration) {
    const char *want =
        "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
        "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783";
    bytes out(64);
    scrypt_pbkdf2((const uint8_t *)"passwd", 6, (const uint8_t *)"salt", 4, out.data(), 64);
    char hex[129];
    for (int i = 0; i < 64; i++) snprintf(hex + 2 * i, 3, "%02x", out[i]);
    EXPECT_STREQ(hex, want);
}

// Output lengths around the 32-byte block size, salts around the points where
// the index or the padding crosses a block border, long passwords; nothing
// is written past the requested length.
TEST(Pbkdf2, LengthsAndSaltsMatchOpenSSL) {
    std::mt19937_64 rng(3);
    for (size_t pw_len : {0, 8, 64, 65, 100}) {
        for (size_t salt_len : {0, 51, 52, 59, 60, 63, 64, 116, 124}) {
            for (size_t out_len : {0, 1, 31, 32, 33, 63, 64, 65, 200}) {
                bytes pw = random_bytes(rng, pw_len), salt = random_bytes(rng, salt_len);
                bytes out(out_len + 16, 0xa5);
                scrypt_pbkdf2(pw.data(), pw_len, salt.data(), salt_len, out.data(), out_len);
                bytes got(out.begin(), out.begin() + out_len);
                ASSERT_EQ(got, openssl_pbkdf2(pw, salt, out_len))
                    << pw_len << "/" << salt_len << "/" << out_len;
                for (size_t i = out_len; i < out.size(); i++)
                    ASSERT_EQ(out[i], 0xa5) << "wrote past the end at " << i;
            }
        }
    }
}

// The keyed HMAC state that PBKDF2 holds is recognisable by its inner chaining
// words: SHA-256 of one block, key ^ 0x36.  After the call returns, its dead
// stack frame must not hold them any more.
__attribute__((noinline)) bool dead_stack_holds(const uint8_t *pattern, size_t n) {
    // Whatever the earlier calls left below our frame; the empty asm stands
    // for "may have been written", so reading it is not undefined.
    uint8_t copy[16384];
    __asm__ __volatile__("" : : "r"(copy) : "memory");
    VALGRIND_MAKE_MEM_DEFINED(copy, sizeof copy);
    for (size_t i = 0; i + n <= sizeof copy; i++)
        if (memcmp(copy + i, pattern, n) == 0) return true;
    return false;
}

__attribute__((noinline)) void leave_unwiped_context(const uint8_t *key, size_t n) {
    volatile hmac_context ctx;
    scrypt_hmac_init((hmac_context *)&ctx, key, n);
}

bytes keyed_inner_words(const bytes &key) {
    hash_context h;
    scrypt_hash_init(&h);
    uint8_t block[64] = {0};
    memcpy(block, key.data(), key.size());
    for (auto &b : block) b ^= 0x36;
    sha256_blocks(&h, block, 1);
    return bytes((uint8_t *)h.H, (uint8_t *)h.H + sizeof h.H);
}

TEST(Pbkdf2, LeavesNoKeyedStateOnTheStack) {
    const bytes key = text("correct horse battery staple");
    const bytes words = keyed_inner_words(key);
    // The probe must be able to see an unwiped context, or it proves nothing.
    leave_unwiped_context(key.data(), key.size());
    if (!dead_stack_holds(words.data(), words.size()))
        GTEST_SKIP() << "this build does not reuse the dead stack frame; probe is blind";
    uint8_t out[40];
    scrypt_pbkdf2(key.data(), key.size(), (const uint8_t *)"salt", 4, out, sizeof out);
    EXPECT_FALSE(dead_stack_holds(words.data(), words.size()));
}

// The fill zeroes exactly [p, p + len): small fills, and large ones whose
// 64-byte lines go out by streaming stores and whose ragged ends do not,
// at every offset from a line boundary that matters.
TEST(Wipe, ZeroesExactlyTheRangeAsked) {
    const size_t big = SCRYPT_WIPE_STREAMING_BYTES;
    const size_t lengths[] = {1, 15, 16, 63, 64, 65, 200, big - 1, big, big + 1, big + 127};
    const size_t offsets[] = {0, 1, 16, 63};
    // Aligned to a line, with room for the largest length at any offset and
    // a margin behind it.
    const size_t room = 64 + big + 127 + 64 + 64;
    bytes store(room + 64);
    uint8_t *base = (uint8_t *)(((uintptr_t)store.data() + 63) & ~(uintptr_t)63);
    for (size_t len : lengths) {
        for (size_t off : offsets) {
            memset(base, 0xa5, room);
            scrypt_wipe(base + off, len);
            const uint8_t *first_zero = (const uint8_t *)memchr(base, 0, room);
            ASSERT_EQ(first_zero, base + off) << len << "@" << off;
            size_t i = off;
            while (i < room && base[i] == 0) i++;
            EXPECT_EQ(i, off + len) << "zero run of the wrong length, " << len << "@" << off;
            for (; i < room; i++)
                ASSERT_EQ(base[i], 0xa5) << "byte " << i << ", " << len << "@" << off;
        }
    }
}

}  // namespace
