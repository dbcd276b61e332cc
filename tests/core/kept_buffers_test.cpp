// Every entry point ends by zeroing every byte it worked in: after each call
// the buffers it keeps (the calling thread's, or scrypt()'s shared ones) are
// held, sized for the call, and all zero, the whole of every table included.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "scrypt-vornik.h"
#include "support/case_name.h"
#include "support/kept_buffers.h"

namespace {

struct kept_case {
    const char *what;
    int (*call)();  // one call; its status
    bool shared;    // keeps scrypt()'s buffers, not the thread's
    uint64_t N;     // the parameters the kept buffers are sized for
    uint32_t r, p;
};
void PrintTo(const kept_case &c, std::ostream *os) {
    *os << c.what;
}

const uint8_t password[] = "kept buffers";
const uint8_t salt[] = "salt";

const kept_case kept_cases[] = {
    {"scrypt",
     [] {
         uint8_t out[40];
         scrypt(password, sizeof password, salt, sizeof salt, 7, 1, 1, out, sizeof out);
         return 0;
     },
     true, 256, 2, 2},
    {"scrypt_derive_key",
     [] {
         uint8_t out[40];
         return scrypt_derive_key(password, sizeof password, salt, sizeof salt, 256, 3, 2, out,
                                  sizeof out);
     },
     false, 256, 3, 2},
    {"scrypt_hash_password",
     [] {
         char stored[128];
         return scrypt_hash_password(stored, sizeof stored, password, sizeof password, 128, 5, 3);
     },
     false, 128, 5, 3},
    {"scrypt_verify_password",
     [] {
         // A string of another cost, hashed first: the verification then
         // replaces the buffers the hashing left.
         char stored[128];
         const int s =
             scrypt_hash_password(stored, sizeof stored, password, sizeof password, 64, 1, 1);
         if (s != SCRYPT_OK) return s;
         return scrypt_verify_password(stored, password, sizeof password, 0) == SCRYPT_OK
                    ? scrypt_verify_password(stored, password, sizeof password - 2, 0) ==
                              SCRYPT_ERR_MISMATCH
                          ? SCRYPT_OK
                          : -100
                    : -101;
     },
     false, 64, 1, 1},
};

class KeptBuffers : public testing::TestWithParam<kept_case> {};

TEST_P(KeptBuffers, AreAllZeroAfterEveryCall) {
    const kept_case &c = GetParam();
    for (int round = 0; round < 2; round++) {  // allocated, then reused
        SCOPED_TRACE(round ? "reused" : "allocated");
        ASSERT_EQ(c.call(), SCRYPT_OK);
        const work_buffers &w = c.shared ? scrypt_shared_cache.work : scrypt_thread_cache()->work;
        ASSERT_EQ(w.N, c.N);
        ASSERT_EQ(w.r, c.r);
        ASSERT_EQ(w.p, c.p);
        ASSERT_EQ(w.tables, 1u);
        EXPECT_EQ(nonzero_kept_bytes(w), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, KeptBuffers, testing::ValuesIn(kept_cases), named_by_what());

}  // namespace
