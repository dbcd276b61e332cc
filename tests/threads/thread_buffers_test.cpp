// scrypt_derive_key()'s buffers, one set per thread: reused while the
// parameters stay the same, replaced when they change, kept apart between
// threads, released when the thread exits and, in a forked child, for every
// thread the child lacks; the calls take no part in scrypt()'s lock, and are
// never cancelled half-way.  This binary wraps malloc and free at link time
// and records every call, from every thread (support/malloc_recorder.h).
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/lock.h"
#include "core/cache.h"
#include "scrypt-vornik.h"
#include "support/build_kind.h"
#include "support/child.h"
#include "support/malloc_recorder.h"
#include "support/openssl_scrypt.h"
#include "support/process_memory.h"

using malloc_recorder::count;
using malloc_recorder::event;
using malloc_recorder::recorded;
using malloc_recorder::watching;

namespace {

using bytes = std::vector<uint8_t>;

struct params {
    uint64_t N;
    uint32_t r, p;
    // A table of 4 MiB or more starts on a 2 MiB boundary.
    uint64_t table() const {
        const uint64_t bytes = N * 128 * r;
        return bytes + (bytes >= (4u << 20) ? (2u << 20) - 1 : 63);
    }
    uint64_t work() const { return (uint64_t(p) + 1) * 128 * r + 63; }
};

bytes derive(const params &q, const char *password = "pw") {
    bytes out(32);
    const int status =
        scrypt_derive_key((const uint8_t *)password, strlen(password), (const uint8_t *)"salt", 4,
                          q.N, q.r, q.p, out.data(), out.size());
    if (status != SCRYPT_OK) out.assign(1, (uint8_t)-status);
    return out;
}

bool right(const params &q, const char *password = "pw") {
    return derive(q, password) == openssl_scrypt_nrp(password, "salt", q.N, q.r, q.p, 32);
}

std::string show(const std::vector<event> &v) {
    std::string s;
    for (const event &e : v) s += e.kind == 'm' ? " M" + std::to_string(e.size) : std::string(" F");
    return s.empty() ? " (none)" : s;
}

long thread_minor_faults() {
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_minflt;
}

class ThreadBuffers : public testing::Test {
  protected:
    void SetUp() override {
        // The self-test out of the way, unwatched, in the test's own thread.
        ASSERT_TRUE(right({16, 1, 1}));
        watching = true;
    }
    void TearDown() override { watching = false; }
};

// On a thread of its own: the first call allocates the table and then the
// work space; a repeat allocates nothing and takes no page fault although
// both buffers were zeroed; other parameters release both (table first) and
// allocate both anew; the thread's exit releases what it holds.
TEST_F(ThreadBuffers, ReusedWhileParametersStayReplacedWhenTheyChangeReleasedAtExit) {
    const params first = {16384, 3, 1}, second = {64, 5, 7};
    struct seen {
        std::vector<event> first_call, repeat, change;
        long repeat_faults = -1;
        bool keys_right = false;
        void *V = nullptr, *YX = nullptr;
        pthread_t self;
    } s;
    const size_t start = count;
    std::thread([&] {
        s.self = pthread_self();
        size_t mark = count;
        bool ok = right(first);
        s.first_call = recorded(mark, &s.self);
        mark = count;
        const long before = thread_minor_faults();
        const bytes again = derive(first, "again");
        s.repeat_faults = thread_minor_faults() - before;
        s.repeat = recorded(mark, &s.self);
        ok &= again == openssl_scrypt_nrp("again", "salt", first.N, first.r, first.p, 32);
        mark = count;
        ok &= right(second);
        s.change = recorded(mark, &s.self);
        s.V = scrypt_thread_cache()->work.V.raw;
        s.YX = scrypt_thread_cache()->work.YX.raw;
        s.keys_right = ok;
    }).join();
    EXPECT_TRUE(s.keys_right);
    ASSERT_EQ(show(s.first_call),
              " M" + std::to_string(first.table()) + " M" + std::to_string(first.work()));
    EXPECT_EQ(show(s.repeat), " (none)");
#if defined(SCRYPT_TEST_TSAN) || defined(SCRYPT_TEST_ASAN)
    const bool faults_counted = false;  // the shadow memory takes page faults of its own
#else
    const bool faults_counted = !RUNNING_ON_VALGRIND;  // and so does valgrind's bookkeeping
#endif
    if (faults_counted)
        EXPECT_EQ(s.repeat_faults, 0);
    else
        printf("page faults not counted in this build: %ld\n", s.repeat_faults);
    ASSERT_EQ(s.change.size(), 4u) << show(s.change);
    EXPECT_EQ(s.change[0].kind, 'f');
    EXPECT_EQ(s.change[0].ptr, s.first_call[0].ptr);
    EXPECT_EQ(s.change[1].kind, 'f');
    EXPECT_EQ(s.change[1].ptr, s.first_call[1].ptr);
    EXPECT_EQ(s.change[2].size, second.table());
    EXPECT_EQ(s.change[2].ptr, s.V);
    EXPECT_EQ(s.change[3].size, second.work());
    EXPECT_EQ(s.change[3].ptr, s.YX);
    // The thread is gone: its last buffers were released on its way out.
    const std::vector<event> all = recorded(start, &s.self);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2].kind, 'f');
    EXPECT_EQ(all[all.size() - 2].ptr, s.V);
    EXPECT_EQ(all.back().kind, 'f');
    EXPECT_EQ(all.back().ptr, s.YX);
}

// Two threads alternating, each with its own parameters, in lock step: each
// keeps its own buffers, so after the first round nobody allocates.
TEST_F(ThreadBuffers, EachThreadKeepsItsOwn) {
    const params a = {64, 3, 5}, b = {128, 5, 3};
    std::atomic<unsigned> turn{0};
    std::atomic<bool> wrong{false};
    size_t after_first_round = 0;
    auto worker = [&](const params &q, unsigned mine) {
        for (unsigned round = 0; round < 6; round++) {
            while (turn % 2 != mine) std::this_thread::yield();
            if (!right(q)) wrong = true;
            if (turn == 1) after_first_round = count;
            turn++;
        }
    };
    std::thread ta(worker, a, 0), tb(worker, b, 1);
    ta.join();
    tb.join();
    EXPECT_FALSE(wrong);
    // Two threads' exits release two pairs, and nothing else happened since
    // the first round.
    const std::vector<event> later = recorded(after_first_round);
    EXPECT_EQ(show(later), " F F F F");
}

// scrypt_derive_key() takes no part in scrypt()'s lock: with the lock held
// by this thread, another thread's call runs to its end.  (In a child, with
// a deadline, so that a wait shows as a failure rather than a hang.)
TEST(ThreadBuffersLock, DeriveKeyRunsWhileScryptsLockIsHeld) {
    const child_result r = in_child([] {
        alarm(60);
        if (!right({16, 1, 1})) return 1;
        scrypt_lock();
        bool ok = false;
        std::thread([&] { ok = right({1024, 3, 3}); }).join();
        scrypt_unlock();
        return ok ? 0 : 2;
    });
    ASSERT_TRUE(r.exited) << "killed (SIGALRM: the call waited for scrypt()'s lock)\n" << r.output;
    EXPECT_EQ(r.status, 0) << r.output;
}

// A thread cancelled while it derives (deferred cancellation, its default)
// finishes the call, gets the right key, finds its cancellation setting as it
// was, and is cancelled at its next cancellation point.  The first calls of
// a process, one running the self-test and one waiting for it, are cancelled
// too.
struct cancel_run {
    params q;
    std::atomic<bool> inside{false};
    int status = 1;
    bytes key = bytes(32);
    int state_after = -1;
};

void *cancelled_thread(void *arg) {
    cancel_run *run = (cancel_run *)arg;
    run->inside = true;
    run->status = scrypt_derive_key((const uint8_t *)"cancelled", 9, (const uint8_t *)"salt", 4,
                                    run->q.N, run->q.r, run->q.p, run->key.data(), run->key.size());
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &run->state_after);
    for (;;) pthread_testcancel();
    return nullptr;
}

// Starts `n` threads deriving, cancels each once it is inside its call, and
// returns 0 when every one finished its call right and was then cancelled.
int cancel_inside_calls(unsigned n, params q) {
    std::vector<cancel_run> runs(n);
    std::vector<pthread_t> threads(n);
    for (unsigned i = 0; i < n; i++) {
        runs[i].q = q;
        if (pthread_create(&threads[i], nullptr, cancelled_thread, &runs[i]) != 0) return 8;
    }
    for (unsigned i = 0; i < n; i++) {
        while (!runs[i].inside) std::this_thread::yield();
        pthread_cancel(threads[i]);
    }
    const auto want = openssl_scrypt_nrp("cancelled", "salt", q.N, q.r, q.p, 32);
    int failures = 0;
    for (unsigned i = 0; i < n; i++) {
        void *result = nullptr;
        pthread_join(threads[i], &result);
        if (result != PTHREAD_CANCELED) failures |= 1;
        if (runs[i].status != SCRYPT_OK || runs[i].key != want) failures |= 2;
        if (runs[i].state_after != PTHREAD_CANCEL_ENABLE) failures |= 4;
    }
    return failures;
}

TEST(ThreadBuffersCancel, CallsFinishAndTheThreadIsCancelledAfter) {
    const child_result r = in_child([] {
        alarm(120);
        // Fresh process: the first of these runs the self-test, the other
        // waits for it; both are cancelled meanwhile.
        if (int f = cancel_inside_calls(2, {16, 3, 5})) return 10 + f;
        // A long call, cancelled well inside it.
        if (int f = cancel_inside_calls(1, {32768, 8, 1})) return 20 + f;
        return 0;
    });
    ASSERT_TRUE(r.exited) << "killed (SIGALRM: deadlocked)\n" << r.output;
    EXPECT_EQ(r.status, 0) << "1: not cancelled after the call, 2: wrong key or status, "
                              "4: cancellation setting not restored\n"
                           << r.output;
}

// fork() while another thread holds buffers, idle or deriving: the child
// releases that thread's buffers (the thread does not exist there) and
// derives with its own; the parent's thread goes on with the right keys.
TEST_F(ThreadBuffers, ForkedChildsFirstCallReleasesTheOtherThreadsBuffers) {
    const params slow = {16384, 8, 1}, small = {32, 3, 3};
    std::atomic<bool> stop{false}, inside{false}, busy_mode{false};
    std::atomic<unsigned> wrong{0};
    std::atomic<void *> V{nullptr}, YX{nullptr};
    std::thread worker([&] {
        if (!right(slow)) wrong++;
        V = scrypt_thread_cache()->work.V.raw;
        YX = scrypt_thread_cache()->work.YX.raw;
        inside = true;
        while (!stop) {
            if (busy_mode && !right(slow)) wrong++;
            std::this_thread::yield();
        }
    });
    while (!inside) std::this_thread::yield();
    for (bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "the other thread deriving" : "the other thread idle");
        busy_mode = busy;
        if (busy) usleep(20000);  // well into a derivation
        const size_t mark = count;
        const child_result c = in_child([&] {
            alarm(60);
            // The atfork handler frees nothing (an allocator may not be
            // usable in it); the child's first derivation releases the other
            // thread's buffers.
            auto released = [&] {
                bool V_freed = false, YX_freed = false;
                for (const event &e : recorded(mark)) {
                    V_freed |= e.kind == 'f' && e.ptr == V.load();
                    YX_freed |= e.kind == 'f' && e.ptr == YX.load();
                }
                return V_freed && YX_freed;
            };
            if (released()) return 3;
            if (!right(small)) return 2;
            if (!released()) return 1;
            if (!right(slow)) return 2;
            return 0;
        });
        ASSERT_TRUE(c.exited) << "the child was killed (deadlocked?)\n" << c.output;
        EXPECT_EQ(c.status, 0) << "1: the other thread's buffers were not released, "
                                  "2: a wrong key, 3: released in the fork handler\n"
                               << c.output;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
