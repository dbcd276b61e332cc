// The buffer cache, observed from outside the library: this binary wraps
// malloc and free at link time (support/malloc_recorder.h), and while a test
// is watching, hands out deliberately misaligned blocks so that the 64-byte
// rounding has work to do.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <vector>

#include "oracle.h"
#include "scrypt-vornik.h"
#include "support/build_kind.h"
#include "support/malloc_recorder.h"
#include "support/process_memory.h"
#include "support/shared_buffers.h"

namespace {

// While a test watches, the blocks are deliberately misaligned relative to
// 64, the offset cycling 8..56, and freed through the table that remembers
// where each one really starts.
size_t skew = 8;
struct handed_out {
    void *user, *real;
};
handed_out table[64];

void *misaligned(size_t n) {
    uint8_t *real = (uint8_t *)__real_malloc(n + 64);
    if (!real) return nullptr;
    uint8_t *base = (uint8_t *)(((uintptr_t)real + 63) & ~(uintptr_t)63);
    void *user = base + skew;
    skew = skew % 56 + 8;
    for (auto &t : table)
        if (!t.user) {
            t = {user, real};
            break;
        }
    return user;
}

bool release_misaligned(void *p) {
    for (auto &t : table)
        if (t.user == p) {
            __real_free(t.real);
            t = {nullptr, nullptr};
            return true;
        }
    return false;
}

}  // namespace

namespace {

class Cache : public ::testing::Test {
  protected:
    std::vector<malloc_recorder::event> seen;  // what the last derive() allocated and freed
    void SetUp() override {
        // Get the self-test out of the way, unwatched.
        uint8_t out[1];
        scrypt(nullptr, 0, nullptr, 0, 0, 0, 0, out, 1);
        malloc_recorder::blocks = {misaligned, release_misaligned};
    }
    bytes derive(unsigned Nf, unsigned rf, unsigned pf) {
        bytes out(32);
        const size_t from = malloc_recorder::count;
        malloc_recorder::watching = true;
        scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, (uint8_t)Nf, (uint8_t)rf,
               (uint8_t)pf, out.data(), out.size());
        malloc_recorder::watching = false;
        seen = malloc_recorder::recorded(from);
        return out;
    }
    static void expect_aligned_views() {
        for (const aligned_buffer *b : {&V, &YX}) {
            EXPECT_EQ((uintptr_t)b->aligned % 64, 0u);
            EXPECT_GE(b->aligned, (uint8_t *)b->raw);
            EXPECT_LT(b->aligned - (uint8_t *)b->raw, 64);
        }
    }
};

TEST_F(Cache, SameFactorsReuseChangedFactorsReplaceBoth) {
    struct step {
        unsigned N, r, p;
        bool allocates;
    } steps[] = {
        {3, 0, 0, true}, {3, 0, 0, false}, {4, 0, 0, true},  {4, 1, 0, true},
        {4, 1, 1, true}, {4, 1, 1, false}, {4, 1, 1, false}, {3, 0, 0, true},
    };
    for (const step &s : steps) {
        void *old_V = V.raw, *old_YX = YX.raw;
        bytes out = derive(s.N, s.r, s.p);
        EXPECT_EQ(out, openssl_scrypt(text("pw"), text("salt"), s.N, s.r, s.p, 32));
        const uint64_t chunk = uint64_t(128) << s.r;
        if (!s.allocates) {
            EXPECT_TRUE(seen.empty()) << s.N << "," << s.r << "," << s.p;
            EXPECT_EQ(V.raw, old_V);
            EXPECT_EQ(YX.raw, old_YX);
            continue;
        }
        // Both released (table first), then both allocated (table first).
        ASSERT_EQ(seen.size(), 4u) << s.N << "," << s.r << "," << s.p;
        EXPECT_EQ(seen[0].kind, 'f');
        EXPECT_EQ(seen[0].ptr, old_V);
        EXPECT_EQ(seen[1].kind, 'f');
        EXPECT_EQ(seen[1].ptr, old_YX);
        EXPECT_EQ(seen[2].kind, 'm');
        EXPECT_EQ(seen[2].size, (chunk << (s.N + 1)) + 63);
        EXPECT_EQ(seen[2].ptr, V.raw);
        EXPECT_EQ(seen[3].kind, 'm');
        EXPECT_EQ(seen[3].size, chunk * ((1u << s.p) + 1) + 63);
        EXPECT_EQ(seen[3].ptr, YX.raw);
        expect_aligned_views();
    }
}

TEST_F(Cache, RequestSizesOfTheRfcVectors) {
    derive(3, 0, 0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].size, 2111u);
    EXPECT_EQ(seen[3].size, 319u);
    derive(9, 3, 4);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].size, 1048639u);
    EXPECT_EQ(seen[3].size, 17471u);
    expect_aligned_views();
}

long minor_faults() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// Reused buffers stay mapped: a call with the factors held touches no new
// page, although every derivation ends by zeroing both buffers (a wipe that
// gave the pages back to the kernel would fault them in again, a page or a
// huge page at a time).  The table of (13,3,0), 16 MiB, takes the streaming
// fill; the others the ordinary one.
TEST_F(Cache, ReusedBuffersTakeNoPageFaults) {
#ifdef SCRYPT_TEST_ASAN
    GTEST_SKIP()
        << "AddressSanitizer's shadow memory and fake stacks take page faults of their own";
#endif
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind's own bookkeeping takes page faults";
    for (const auto &f : {std::vector<unsigned>{9, 3, 4}, {10, 0, 2}, {13, 3, 0}}) {
        const bytes first = derive(f[0], f[1], f[2]);
        const long before = minor_faults();
        const bytes again = derive(f[0], f[1], f[2]);
        EXPECT_EQ(minor_faults() - before, 0) << f[0] << "," << f[1] << "," << f[2];
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(again, first);
    }
}

}  // namespace
