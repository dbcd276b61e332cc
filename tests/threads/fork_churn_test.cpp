// fork() again and again while another thread derives with parameters that
// change every call, so that each call replaces the buffers of the one
// before: whenever the fork lands, the child's after-fork handler releases
// that thread's buffers as the record shows them (the old ones or the new
// ones), never ones the thread has released already.
//
// The library's free() is wrapped: on the deriving thread it lingers after
// releasing a block until the next fork has happened (or a millisecond has
// passed), so that forks land in the middle of a replacement far more often
// than chance would have them; and in a child it refuses to release again
// the block that the deriving thread had just released when the fork came,
// which it reports and exits on (a double free that the C library itself may
// or may not notice, and that AddressSanitizer would).  Each case is bounded
// in time, not in forks.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scrypt-vornik.h"
#include "support/case_name.h"

extern "C" void __real_free(void *);

namespace {

thread_local bool deriving_thread = false;
// The block the deriving thread has released and lingers after; as the fork
// found it, in a child.
std::atomic<void *> just_released{nullptr};
std::atomic<unsigned> forks_done{0};
pid_t parent = 0;  // the test's process; any other is a child

uint64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

}  // namespace

extern "C" void __wrap_free(void *p) {
    if (p != nullptr && p == just_released.load() && getpid() != parent) {
        static const char message[] = "the child released a block already released\n";
        if (write(2, message, sizeof message - 1) < 0) {
        }
        _exit(3);
    }
    __real_free(p);
    if (!deriving_thread || p == nullptr) return;
    just_released = p;
    const unsigned seen = forks_done;
    const uint64_t until = now_ns() + 1000000;
    while (forks_done == seen && now_ns() < until) {
    }
    just_released = nullptr;
}

namespace {

struct churn_case {
    const char *what;
    void (*call)(unsigned i);  // the deriving thread's call number i
};
void PrintTo(const churn_case &c, std::ostream *os) {
    *os << c.what;
}

// Two stored strings of different costs, for scrypt_verify_password().
char stored[2][128];

const churn_case churn_cases[] = {
    {"scrypt_derive_key",
     [](unsigned i) {
         uint8_t out[32];
         scrypt_derive_key((const uint8_t *)"churn", 5, (const uint8_t *)"salt", 4, i & 1 ? 4 : 2,
                           8, 1, out, sizeof out);
     }},
    {"scrypt_verify_password",
     [](unsigned i) { scrypt_verify_password(stored[i & 1], (const uint8_t *)"churn", 5, 0); }},
    {"scrypt_derive_keys",
     [](unsigned i) {
         // The number of tables changes too.
         uint8_t out[3][16];
         scrypt_job jobs[3];
         for (unsigned j = 0; j < 3; j++)
             jobs[j] = {(const uint8_t *)"churn",
                        5,
                        (const uint8_t *)"salt" + j,
                        4 - j,
                        out[j],
                        sizeof out[j],
                        0};
         const uint64_t N = i & 1 ? 4 : 2;
         scrypt_derive_keys(jobs, 3, N, 8, 1, i & 2 ? UINT64_MAX : N * 128 * 8);
     }},
    {"scrypt",
     [](unsigned i) {
         uint8_t out[32];
         scrypt((const uint8_t *)"churn", 5, (const uint8_t *)"salt", 4, (uint8_t)(i & 1), 3, 0,
                out, sizeof out);
     }},
};

class ForkDuringReplacement : public testing::TestWithParam<churn_case> {};

TEST_P(ForkDuringReplacement, ChildrenNeverReleaseAReleasedBlock) {
    const churn_case c = GetParam();
    ASSERT_EQ(
        scrypt_hash_password(stored[0], sizeof stored[0], (const uint8_t *)"churn", 5, 4, 8, 1),
        SCRYPT_OK);
    ASSERT_EQ(
        scrypt_hash_password(stored[1], sizeof stored[1], (const uint8_t *)"churn", 5, 8, 8, 1),
        SCRYPT_OK);
    parent = getpid();
    std::atomic<bool> stop{false};
    std::atomic<unsigned> calls{0};
    std::thread worker([&] {
        deriving_thread = true;
        for (unsigned i = 0; !stop; i++) {
            c.call(i);
            calls++;
        }
    });
    while (calls < 2) std::this_thread::yield();
    unsigned forks = 0, failed = 0, first_status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        forks_done++;
        ASSERT_GT(pid, 0) << "fork failed";
        forks++;
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            if (failed++ == 0) first_status = (unsigned)status;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(failed, 0u) << "of " << forks << " children (against " << calls
                          << " calls); the first ended with wait status " << first_status;
    EXPECT_GT(forks, 0u);
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, ForkDuringReplacement, testing::ValuesIn(churn_cases),
                         named_by_what());

}  // namespace
