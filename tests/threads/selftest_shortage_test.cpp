// Many threads' first calls at once while the self-test cannot have the
// memory of its derivations (the test's malloc refuses blocks of 1 MiB and
// more, the self-test's table): each call that finds the self-test given up
// undecided, and another thread's self-test started anew, must wait for that
// one, never take it for ended.  So every call fails as out of memory, none
// derives before a self-test has passed, and once memory is back the next
// call runs the self-test and derives.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>

#include <atomic>
#include <thread>
#include <vector>

#include "scrypt-vornik.h"
#include "support/child.h"

extern "C" void *__real_malloc(size_t);

namespace {
std::atomic<bool> refuse_large{false};
}

extern "C" void *__wrap_malloc(size_t size) {
    if (size >= (1u << 20) && refuse_large.load(std::memory_order_relaxed)) return nullptr;
    return __real_malloc(size);
}

namespace {

TEST(SelfTestShortage, NoThreadDerivesBeforeASelfTestHasEnded) {
    child_result r = in_child([] {
        constexpr int threads = 8, calls = 50;
        refuse_large = true;
        pthread_barrier_t go;
        pthread_barrier_init(&go, nullptr, threads);
        std::atomic<int> derived{0}, other{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; t++)
            pool.emplace_back([&] {
                pthread_barrier_wait(&go);
                uint8_t out[16];
                for (int i = 0; i < calls; i++) {
                    const int status =
                        scrypt_derive_key(nullptr, 0, nullptr, 0, 16, 1, 1, out, sizeof out);
                    if (status == SCRYPT_OK)
                        derived++;
                    else if (status != SCRYPT_ERR_MEMORY)
                        other++;
                }
            });
        for (auto &th : pool) th.join();
        if (derived != 0) {
            fprintf(stderr, "%d of %d calls derived before any self-test ended\n", derived.load(),
                    threads * calls);
            return 11;
        }
        if (other != 0) return 12;
        refuse_large = false;
        uint8_t out[16];
        return scrypt_derive_key(nullptr, 0, nullptr, 0, 16, 1, 1, out, sizeof out) == SCRYPT_OK
                   ? 0
                   : 13;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << "child step " << r.status << " failed; stderr: " << r.output;
}

}  // namespace
