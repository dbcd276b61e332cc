// The buffer cache, observed from outside the library: this binary wraps
// malloc and free at link time, and while a test is watching, hands out
// deliberately misaligned blocks so that the 64-byte rounding has work to do.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <vector>

#include "oracle.h"
#include "scrypt-vornik.h"
#include "support/build_kind.h"
#include "support/process_memory.h"
#include "support/shared_buffers.h"

extern "C" void *__real_malloc(size_t);
extern "C" void __real_free(void *);

namespace {

struct event {
    char kind;  // 'm' malloc, 'f' free
    size_t size;
    void *ptr;
};

bool watching = false;
std::vector<event> *events;
size_t skew = 8;  // offset given to the next watched block, cycles 8..56

struct handed_out {
    void *user, *real;
};
handed_out table[64];

}  // namespace

extern "C" void *__wrap_malloc(size_t n) {
    if (!watching) return __real_malloc(n);
    watching = false;  // the bookkeeping below may allocate
    uint8_t *real = (uint8_t *)__real_malloc(n + 64);
    void *user = nullptr;
    if (real) {
        // Start at a known misalignment relative to 64.
        uint8_t *base = (uint8_t *)(((uintptr_t)real + 63) & ~(uintptr_t)63);
        user = base + skew;
        skew = skew % 56 + 8;
        for (auto &t : table)
            if (!t.user) {
                t = {user, real};
                break;
            }
    }
    events->push_back({'m', n, user});
    watching = true;
    return user;
}

extern "C" void __wrap_free(void *p) {
    if (!p) return;
    if (watching) {
        watching = false;
        events->push_back({'f', 0, p});
        watching = true;
    }
    for (auto &t : table)
        if (t.user == p) {
            __real_free(t.real);
            t = {nullptr, nullptr};
            return;
        }
    __real_free(p);
}

namespace {

class Cache : public ::testing::Test {
  protected:
    std::vector<event> seen;
    void SetUp() override {
        // Get the self-test out of the way, unwatched.
        uint8_t out[1];
        scrypt(nullptr, 0, nullptr, 0, 0, 0, 0, out, 1);
        seen.reserve(64);
        events = &seen;
    }
    bytes derive(unsigned Nf, unsigned rf, unsigned pf) {
        bytes out(32);
        seen.clear();
        watching = true;
        scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, (uint8_t)Nf, (uint8_t)rf,
               (uint8_t)pf, out.data(), out.size());
        watching = false;
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
