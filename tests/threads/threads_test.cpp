// Calls from several threads, through the public interface of the shipped
// archive, with both entry points: the library serialises scrypt() calls
// itself, runs the handler with its lock released, stays usable whatever the
// handler does, and runs scrypt_derive_key() calls beside all of that.
//
// Each scenario runs in a child process: it starts from a fresh library (the
// first call, with its self-test, is part of the scenario), its handler may
// end the process, and a deadlock ends it by SIGALRM instead of hanging the
// test.
#include <gtest/gtest.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scrypt-vornik.h"
#include "support/build_kind.h"
#include "support/case_name.h"
#include "support/child.h"
#include "support/openssl_scrypt.h"

namespace {

using bytes = std::vector<uint8_t>;

struct factors {
    unsigned N, r, p;
};

bytes derive(const std::string &password, const std::string &salt, factors f, size_t len) {
    bytes out(len, 0x5a);
    scrypt((const uint8_t *)password.data(), password.size(), (const uint8_t *)salt.data(),
           salt.size(), (uint8_t)f.N, (uint8_t)f.r, (uint8_t)f.p, out.data(), out.size());
    return out;
}

bool derives_right(const std::string &password, const std::string &salt, factors f, size_t len) {
    return derive(password, salt, f, len) == openssl_scrypt(password, salt, f.N, f.r, f.p, len);
}

// The same through scrypt_derive_key(), with r and p made odd (and so not
// powers of two) where they are not 1.
struct nrp {
    uint64_t N;
    uint32_t r, p;
};

nrp odd(factors f) {
    return {uint64_t(2) << f.N, (uint32_t(1) << f.r) | (f.r ? 1u : 0u),
            (uint32_t(1) << f.p) | (f.p ? 1u : 0u)};
}

bytes derive_key(const std::string &password, const std::string &salt, nrp q, size_t len) {
    bytes out(len, 0x5a);
    const int status = scrypt_derive_key((const uint8_t *)password.data(), password.size(),
                                         (const uint8_t *)salt.data(), salt.size(), q.N, q.r, q.p,
                                         out.data(), len);
    if (status != SCRYPT_OK) return bytes{(uint8_t)-status};
    return out;
}

bool derives_key_right(const std::string &password, const std::string &salt, nrp q, size_t len) {
    return derive_key(password, salt, q, len) ==
           openssl_scrypt_nrp(password, salt, q.N, q.r, q.p, len);
}

// One call through either entry point: `key` picks scrypt_derive_key().
bool derives_right_by(bool key, const std::string &password, const std::string &salt, factors f,
                      size_t len) {
    return key ? derives_key_right(password, salt, odd(f), len)
               : derives_right(password, salt, f, len);
}

// Seconds after which a child that has not finished counts as deadlocked.
constexpr unsigned deadline = 120;

// Runs `body` in a child under the deadline and expects it to return 0.
template <class Body>
void expect_child_succeeds(Body body) {
    const child_result r = in_child([&] {
        alarm(deadline);
        return body();
    });
    ASSERT_TRUE(r.exited) << "the child was killed (SIGALRM: deadlocked); it wrote:\n" << r.output;
    EXPECT_EQ(r.status, 0) << r.output;
}

// The CPU time that thread `t` has used, in nanoseconds.
uint64_t cpu_time_of(pthread_t t) {
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(t, &clock) != 0 || clock_gettime(clock, &now) != 0) return 0;
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

// Whether thread `tid` of this process is blocked in a futex wait (a mutex or
// a condition variable): the system call it is in, by /proc.
bool blocked_in_futex(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return false;
    long call = -1;
    const bool read = fscanf(f, "%ld", &call) == 1;
    fclose(f);
    return read && call == SYS_futex;
}

// Whether thread `tid` is blocked in a futex wait and stays so for 10 ms:
// a waiter queued for the lock, not one that meets a mutex on its way.
bool stays_blocked(pid_t tid) {
    for (int i = 0; i < 100; i++) {
        if (!blocked_in_futex(tid)) return false;
        usleep(100);
    }
    return true;
}

// Polls until `holds()`; the child's deadline ends a wait that never ends.
// (A thread that has ended has no CPU clock: conditions on one say what else
// ends the wait.)
template <class Condition>
void wait_until(Condition holds) {
    while (!holds()) usleep(100);
}

// Factors that make every call replace both work buffers of the call before
// it, whichever thread made that one; 9,3,0 and 9,2,0 are the pair that
// crashed an unlocked library within a few hundred calls.
const factors mixed[] = {{9, 3, 0}, {9, 2, 0}, {4, 0, 1}, {9, 3, 0}, {3, 1, 2},
                         {0, 0, 0}, {6, 2, 1}, {2, 3, 0}, {5, 1, 3}};

// Four threads, 60 calls each, all starting at once on a fresh library (so
// the first call and its self-test meet the others), each key checked against
// OpenSSL.  The threads alternate between the entry points, each in its own
// rhythm, so that scrypt() calls, which share their buffers, meet
// scrypt_derive_key() calls, which run at the same time in buffers of their
// own.
TEST(Threads, ManyCallsWithMixedFactorsMatchOpenSSL) {
    expect_child_succeeds([] {
        constexpr unsigned threads = 4, calls = 60;
        std::atomic<unsigned> wrong{0}, ready{0};
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; t++) {
            pool.emplace_back([&, t] {
                ready++;
                while (ready < threads) std::this_thread::yield();
                for (unsigned i = 0; i < calls; i++) {
                    const factors f = mixed[(i + 2 * t) % (sizeof mixed / sizeof *mixed)];
                    const std::string password = "pw" + std::to_string(t) + "/" + std::to_string(i);
                    const size_t len = 1 + (i * 37 + t) % 90;
                    const bool key = (i / (t + 1)) % 2 == 1;
                    if (!derives_right_by(key, password, "salt" + std::to_string(i % 7), f, len)) {
                        fprintf(stderr, "thread %u call %u (%u,%u,%u, %s): wrong key\n", t, i, f.N,
                                f.r, f.p, key ? "scrypt_derive_key" : "scrypt");
                        wrong++;
                    }
                }
            });
        }
        for (auto &th : pool) th.join();
        return wrong == 0 ? 0 : 1;
    });
}

// Runs `body` on a new thread with a 32 KiB stack, as a language runtime's
// minimum gives it; false when no such thread could be made.
[[maybe_unused]] bool on_small_stack(void *(*body)(void *)) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 32768);
    pthread_t thread;
    const bool made = pthread_create(&thread, &attr, body, nullptr) == 0;
    if (made) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return made;
}

// A host thread with a small stack (32 KiB, as a language runtime's
// minimum gives it) calls every entry point, its first call with the
// self-test included: each derives the right key, and the clearing at the
// end of each call stays within the thread's stack.
TEST(Threads, EntryPointsFitASmallThreadStack) {
#if SCRYPT_TEST_ASAN || SCRYPT_TEST_TSAN
    GTEST_SKIP() << "the sanitizer's frames and runtime need more than a 32 KiB stack";
#else
    expect_child_succeeds([] {
        static int failures;
        auto body = [](void *) -> void * {
            uint8_t key[40];
            const std::string pw = "small stack", salt = "salt";
            if (scrypt_derive_key((const uint8_t *)pw.data(), pw.size(),
                                  (const uint8_t *)salt.data(), salt.size(), 16, 3, 2, key,
                                  sizeof key) != SCRYPT_OK ||
                bytes(key, key + sizeof key) != openssl_scrypt_nrp(pw, salt, 16, 3, 2, sizeof key))
                failures++;
            if (!derives_right(pw, salt, {3, 1, 1}, 33)) failures++;
            scrypt_job jobs[3];
            uint8_t outs[3][20];
            for (int i = 0; i < 3; i++)
                jobs[i] = {(const uint8_t *)pw.data(),
                           pw.size(),
                           (const uint8_t *)salt.data(),
                           salt.size(),
                           outs[i],
                           sizeof outs[i],
                           1};
            if (scrypt_derive_keys(jobs, 3, 32, 2, 1, UINT64_MAX) != SCRYPT_OK ||
                bytes(outs[2], outs[2] + 20) != openssl_scrypt_nrp(pw, salt, 32, 2, 1, 20))
                failures++;
            char stored[SCRYPT_PASSWORD_STRBYTES];
            if (scrypt_hash_password(stored, sizeof stored, (const uint8_t *)pw.data(), pw.size(),
                                     16, 1, 1) != SCRYPT_OK ||
                scrypt_verify_password(stored, (const uint8_t *)pw.data(), pw.size(), 0) !=
                    SCRYPT_OK)
                failures++;
            return nullptr;
        };
        if (!on_small_stack(body)) return 2;
        return failures == 0 ? 0 : 1;
    });
#endif
}

// The same thread size, with the process's first call one that fails before
// it derives (so the end of the call binds the C library's symbols there),
// and signals arriving all the while, whose frames need room below the
// deepest point of the call's clearing.
TEST(Threads, SmallThreadStackTakesSignalsAndEarlyFailures) {
#if SCRYPT_TEST_ASAN || SCRYPT_TEST_TSAN
    GTEST_SKIP() << "the sanitizer's frames and runtime need more than a 32 KiB stack";
#else
    expect_child_succeeds([] {
        // SIGPROF every 100 us of CPU time, taken by the small thread only
        // (the others block it; the deadline's SIGALRM stays as it is).
        signal(SIGPROF, [](int) {});
        sigset_t prof;
        sigemptyset(&prof);
        sigaddset(&prof, SIGPROF);
        pthread_sigmask(SIG_BLOCK, &prof, nullptr);
        const struct itimerval every_100us = {{0, 100}, {0, 100}};
        setitimer(ITIMER_PROF, &every_100us, nullptr);
        static int failures;
        auto body = [](void *) -> void * {
            sigset_t prof;
            sigemptyset(&prof);
            sigaddset(&prof, SIGPROF);
            pthread_sigmask(SIG_UNBLOCK, &prof, nullptr);
            if (scrypt_verify_password("not a string", (const uint8_t *)"pw", 2, 0) !=
                SCRYPT_ERR_FORMAT)
                failures++;
            uint8_t key[32];
            const time_t end = time(nullptr) + 1;
            while (time(nullptr) <= end)
                if (scrypt_derive_key((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 2, 1, 1,
                                      key, sizeof key) != SCRYPT_OK)
                    failures++;
            return nullptr;
        };
        if (!on_small_stack(body)) return 2;
        const struct itimerval off = {};
        setitimer(ITIMER_PROF, &off, nullptr);
        return failures == 0 ? 0 : 1;
    });
#endif
}

// Batches from two threads at once, on a fresh library, each thread with a
// memory allowance of its own (room for 3 tables, for 16, for as many as
// useful) and the factors changing from batch to batch, so that each
// thread's buffers are replaced under the other's calls; a third thread
// calls scrypt_derive_key() in between.  Every job's key is checked against
// OpenSSL.
TEST(Threads, BatchesFromTwoThreadsAtOnceMatchOpenSSL) {
    expect_child_succeeds([] {
        constexpr unsigned rounds = 6;
        std::atomic<unsigned> wrong{0}, ready{0};
        const nrp shapes[] = {{64, 2, 1}, {32, 3, 3}, {128, 1, 2}};
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < 3; t++) {
            pool.emplace_back([&, t] {
                ready++;
                while (ready < 3) std::this_thread::yield();
                for (unsigned i = 0; i < rounds; i++) {
                    const nrp q = shapes[(i + t) % 3];
                    if (t == 2) {
                        if (!derives_key_right("single " + std::to_string(i), "salt", q, 40))
                            wrong++;
                        continue;
                    }
                    const size_t count = 5 + 7 * t + i;
                    std::vector<std::string> passwords;
                    std::vector<bytes> outs;
                    std::vector<scrypt_job> jobs;
                    for (size_t j = 0; j < count; j++) {
                        char password[48];
                        snprintf(password, sizeof password, "t%u i%u j%zu", t, i, j);
                        passwords.push_back(password);
                        outs.emplace_back(8 + j % 50);
                    }
                    for (size_t j = 0; j < count; j++)
                        jobs.push_back({(const uint8_t *)passwords[j].data(), passwords[j].size(),
                                        (const uint8_t *)"batch salt", 10, outs[j].data(),
                                        outs[j].size(), 1});
                    const uint64_t table = q.N * 128 * q.r;
                    const uint64_t allowed[] = {3 * table, 16 * table, UINT64_MAX};
                    if (scrypt_derive_keys(jobs.data(), count, q.N, q.r, q.p, allowed[i % 3]) !=
                        SCRYPT_OK)
                        wrong++;
                    for (size_t j = 0; j < count; j++)
                        if (jobs[j].status != SCRYPT_OK ||
                            outs[j] != openssl_scrypt_nrp(passwords[j], "batch salt", q.N, q.r, q.p,
                                                          outs[j].size())) {
                            fprintf(stderr, "thread %u batch %u job %zu: wrong key\n", t, i, j);
                            wrong++;
                        }
                }
            });
        }
        for (auto &th : pool) th.join();
        return wrong == 0 ? 0 : 1;
    });
}

// What a handler does after it has recorded the message.
enum class outcome { returns, jumps, throws };

struct handler_case {
    const char *what;
    outcome how;
};

const handler_case handler_cases[] = {
    {"returns", outcome::returns},
    {"longjmps", outcome::jumps},
    {"throws", outcome::throws},
};

void PrintTo(const handler_case &c, std::ostream *os) {
    *os << c.what;
}

struct report_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Per thread: how the handler leaves, where a longjmp lands, the last message.
thread_local outcome leave = outcome::returns;
thread_local jmp_buf landing;
thread_local std::string last_message;
// The cancellation state and type the handler ran with.
thread_local int handler_cancel_state, handler_cancel_type;

void leaving_handler(const char *message) {
    last_message = message;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &handler_cancel_state);
    pthread_setcancelstate(handler_cancel_state, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &handler_cancel_type);
    pthread_setcanceltype(handler_cancel_type, nullptr);
    switch (leave) {
        case outcome::returns:
            return;
        case outcome::jumps:
            longjmp(landing, 1);
        case outcome::throws:
            throw report_error(message);
    }
}

// One failing call (r out of range) whose handler leaves the way `how` says,
// then a good one on the same thread.  Returns an empty string or what went
// wrong.
std::string fail_then_derive(outcome how, unsigned seed) {
    leave = how;
    last_message.clear();
    bytes canary(16, 0x5a);
    bool landed = false, caught = false;
    // The host's cancellation settings, which the handler runs with and
    // which the thread has again however the handler left: asynchronous
    // type (no request is ever made here) on every other seed.
    const int host_type = seed % 2 ? PTHREAD_CANCEL_ASYNCHRONOUS : PTHREAD_CANCEL_DEFERRED;
    pthread_setcanceltype(host_type, nullptr);
    if (setjmp(landing) == 0) {
        try {
            scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 3, 9, 0, canary.data(),
                   canary.size());
        } catch (const report_error &e) {
            caught = std::string(e.what()) == "scrypt: r out of range";
        }
    } else {
        landed = true;
    }
    int state_after, type_after;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type_after);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state_after);
    if (last_message != "scrypt: r out of range") return "no report, or another: " + last_message;
    if (handler_cancel_state != PTHREAD_CANCEL_ENABLE || handler_cancel_type != host_type)
        return "the handler ran without the host's cancellation settings";
    if (state_after != PTHREAD_CANCEL_ENABLE || type_after != host_type)
        return "the thread's cancellation settings were not given back";
    if (how == outcome::jumps && !landed) return "the longjmp did not land";
    if (how == outcome::throws && !caught) return "the exception did not pass through scrypt()";
    if (how == outcome::returns && (landed || caught)) return "the handler did not return";
    if (canary != bytes(16, 0x5a)) return "the failed call wrote its output";
    // scrypt_derive_key() refuses the same parameters without a report.
    last_message.clear();
    if (scrypt_derive_key((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, 16, 512,
                          uint32_t(1) << 21, canary.data(), canary.size()) != SCRYPT_ERR_PARAMETER)
        return "scrypt_derive_key() accepted r * p = 2^30";
    if (!last_message.empty()) return "scrypt_derive_key() reported " + last_message;
    if (canary != bytes(16, 0x5a)) return "the refused scrypt_derive_key() call wrote its output";
    const factors f = mixed[seed % (sizeof mixed / sizeof *mixed)];
    if (!derives_right("after" + std::to_string(seed), "salt", f, 40))
        return "wrong key after the handler";
    if (!derives_key_right("after" + std::to_string(seed), "salt", odd(f), 40))
        return "wrong scrypt_derive_key() key after the handler";
    return "";
}

class HandlerUnderThreads : public testing::TestWithParam<handler_case> {};

// The handler returns, jumps away or throws through the library; after it,
// the same thread, another thread, and several threads at once (each with
// its own failures) call on, install handlers and get the right keys.
TEST_P(HandlerUnderThreads, LibraryStaysUsableFromEveryThread) {
    const outcome how = GetParam().how;
    expect_child_succeeds([how] {
        scrypt_set_fatal_error(leaving_handler);
        std::string error = fail_then_derive(how, 0);
        if (error.empty()) error = fail_then_derive(how, 1);
        if (!error.empty()) {
            fprintf(stderr, "first thread: %s\n", error.c_str());
            return 1;
        }
        std::string other;
        std::thread([&] { other = fail_then_derive(how, 2); }).join();
        if (!other.empty()) {
            fprintf(stderr, "second thread: %s\n", other.c_str());
            return 2;
        }
        std::atomic<unsigned> failures{0};
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < 3; t++)
            pool.emplace_back([&, t] {
                for (unsigned i = 0; i < 20; i++) {
                    const std::string e = fail_then_derive(how, 10 * t + i);
                    if (!e.empty()) {
                        fprintf(stderr, "thread %u round %u: %s\n", t, i, e.c_str());
                        failures++;
                    }
                    scrypt_set_fatal_error(leaving_handler);
                }
            });
        for (auto &th : pool) th.join();
        return failures == 0 ? 0 : 3;
    });
}

INSTANTIATE_TEST_SUITE_P(Handler, HandlerUnderThreads, testing::ValuesIn(handler_cases),
                         named_by_what());

// A handler that calls exit(): the functions registered with atexit() run on
// the exiting thread while the handler is still on its stack, and there the
// library is as usable as anywhere, from that thread and from a new one.
bytes expected_at_exit;

bytes expected_key_at_exit;

// Both entry points, on the calling thread.
bool both_right_at_exit() {
    return derive("at exit", "salt", {5, 1, 1}, 32) == expected_at_exit &&
           derive_key("at exit", "salt", {64, 3, 3}, 32) == expected_key_at_exit;
}

void check_at_exit() {
    bool same_thread = both_right_at_exit();
    bool other_thread = false;
    std::thread([&] { other_thread = both_right_at_exit(); }).join();
    fprintf(stderr, "at exit: this thread %s, another thread %s\n", same_thread ? "ok" : "WRONG",
            other_thread ? "ok" : "WRONG");
}

void exiting_handler(const char *message) {
    fprintf(stderr, "handler: %s\n", message);
    exit(7);
}

TEST(HandlerUnderThreads, ExitingHandlerLeavesTheLibraryUsableAtExit) {
    const auto want = openssl_scrypt("at exit", "salt", 5, 1, 1, 32);
    const auto want_key = openssl_scrypt_nrp("at exit", "salt", 64, 3, 3, 32);
    ASSERT_TRUE(want && want_key);
    expected_at_exit = *want;
    expected_key_at_exit = *want_key;
    const child_result r = in_child([] {
        alarm(deadline);
        atexit(check_at_exit);
        scrypt_set_fatal_error(exiting_handler);
        // Two other threads derive while this one fails, through either
        // entry point; they are detached and simply stop with the process
        // (the buffers of a call in progress while the process ends are
        // released by that call).
        std::thread([] {
            for (unsigned i = 0;; i++) derive("busy", "salt", mixed[i % 3], 16);
        }).detach();
        std::thread([] {
            for (unsigned i = 0;; i++) derive_key("busy", "salt", odd(mixed[i % 3]), 16);
        }).detach();
        uint8_t out[8];
        scrypt((const uint8_t *)"pw", 2, nullptr, 0, 31, 0, 0, out, sizeof out);
        return 1;  // the handler must not return
    });
    ASSERT_TRUE(r.exited) << "the child was killed (SIGALRM: deadlocked); it wrote:\n" << r.output;
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.output,
              "handler: scrypt: N out of range\nat exit: this thread ok, another thread ok\n");
}

// A handler may call scrypt() and scrypt_set_fatal_error() itself: it runs
// with the lock released, so its calls are ordinary calls, which may report
// in turn (the handler is then entered again, one level deeper).  The call
// that reported derives nothing afterwards, as with any returning handler.
std::vector<std::string> nested_messages;
bytes nested_key, nested_derive_key;

void calling_handler(const char *message) {
    nested_messages.push_back(message);
    if (nested_messages.size() > 1) return;  // the nested report
    scrypt_set_fatal_error(calling_handler);
    nested_key = derive("inside", "the handler", {6, 2, 1}, 48);
    nested_derive_key = derive_key("inside", "the handler", {128, 5, 3}, 48);
    uint8_t out[4];
    scrypt(nullptr, 0, nullptr, 0, 0, 0, 26, out, sizeof out);
}

TEST(HandlerUnderThreads, HandlerMayCallTheLibrary) {
    const auto want = openssl_scrypt("inside", "the handler", 6, 2, 1, 48);
    const auto want_key = openssl_scrypt_nrp("inside", "the handler", 128, 5, 3, 48);
    ASSERT_TRUE(want && want_key);
    expect_child_succeeds([&] {
        scrypt_set_fatal_error(calling_handler);
        // Buffers held for other factors than the handler's call uses.
        if (!derives_right("before", "salt", {4, 0, 0}, 16)) return 1;
        bytes canary(16, 0x5a);
        scrypt((const uint8_t *)"pw", 2, nullptr, 0, 40, 0, 0, canary.data(), canary.size());
        const std::vector<std::string> messages = {"scrypt: N out of range",
                                                   "scrypt: p out of range"};
        if (nested_messages != messages) return 2;
        if (nested_key != *want) return 3;
        if (nested_derive_key != *want_key) return 7;
        if (canary != bytes(16, 0x5a)) return 4;
        bool other = false;
        std::thread([&] { other = derives_right("after", "salt", {9, 3, 0}, 64); }).join();
        if (!other) return 5;
        return derives_right("after", "salt", {4, 0, 0}, 16) ? 0 : 6;
    });
}

// fork() while other threads are inside scrypt() and scrypt_derive_key(): the
// child can call and gets the right keys, with the factors whose buffers the
// other threads were using and with others.  (fork() waits for the scrypt()
// call in progress to end; the scrypt_derive_key() call goes on in the parent
// only.)
TEST(Threads, ForkWhileAnotherThreadDerives) {
    const factors slow = {14, 3, 0}, small = {4, 1, 1};  // 32 MiB of table, and tiny
    const auto want_slow = openssl_scrypt("slow", "salt", slow.N, slow.r, slow.p, 32);
    const auto want_small = openssl_scrypt("small", "salt", small.N, small.r, small.p, 32);
    const auto want_slow_key =
        openssl_scrypt_nrp("slow", "salt", odd(slow).N, odd(slow).r, odd(slow).p, 32);
    ASSERT_TRUE(want_slow && want_small && want_slow_key);
    expect_child_succeeds([&] {
        std::atomic<bool> stop{false}, inside{false};
        std::atomic<uint64_t> entered_at{0};  // the worker's CPU time when its call began
        std::atomic<unsigned> wrong{0};
        std::thread worker([&] {
            while (!stop) {
                entered_at = cpu_time_of(pthread_self());
                inside = true;
                if (derive("slow", "salt", slow, 32) != *want_slow) wrong++;
                inside = false;
            }
        });
        std::thread key_worker([&] {
            while (!stop)
                if (derive_key("slow", "salt", odd(slow), 32) != *want_slow_key) wrong++;
        });
        unsigned children_ok = 0;
        for (unsigned round = 0; round < 3; round++) {
            // Well into the derivation: the worker has spent 10 ms of CPU
            // time in its current call (of some 100 ms).
            wait_until([&] {
                return inside && cpu_time_of(worker.native_handle()) >= entered_at + 10000000;
            });
            const child_result c = in_child([&] {
                alarm(deadline);
                if (derive("small", "salt", small, 32) != *want_small) return 21;
                if (derive("slow", "salt", slow, 32) != *want_slow) return 22;
                if (!derives_key_right("small", "salt", odd(small), 32)) return 23;
                if (derive_key("slow", "salt", odd(slow), 32) != *want_slow_key) return 24;
                return 0;
            });
            if (c.exited && c.status == 0)
                children_ok++;
            else
                fprintf(stderr, "forked child %u: %s (status %d) %s\n", round,
                        c.exited ? "failed" : "killed (deadlocked?)", c.status, c.output.c_str());
        }
        stop = true;
        worker.join();
        key_worker.join();
        if (wrong) fprintf(stderr, "the deriving thread got %u wrong keys\n", wrong.load());
        return children_ok == 3 && wrong == 0 ? 0 : 1;
    });
}

// Cancellation: no call is cancelled half-way, and a thread cancelled while
// it waits for its turn leaves the queue as if it had never come.  Every case
// ends with the right key from a thread that was not cancelled.
const factors slow = {13, 3, 0}, quick = {4, 1, 1};

struct caller {
    factors f;
    bool asynchronous;  // cancellation type of the thread
    bool loop;          // derives again and again, else once
    std::atomic<unsigned> calls{0};
    bytes out = bytes(32, 0);  // the last key the thread got
    pthread_t thread{};
    std::atomic<pid_t> tid{0};  // its kernel thread id, once it runs
    caller(factors f_, bool asynchronous_, bool loop_)
        : f(f_), asynchronous(asynchronous_), loop(loop_) {}
};

void *calling(void *arg) {
    caller *c = (caller *)arg;
    c->tid = (pid_t)syscall(SYS_gettid);
    if (c->asynchronous) pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    do {
        // Nothing here but the call: asynchronous cancellation may strike
        // anywhere in the thread's own code.
        scrypt((const uint8_t *)"cancelled", 9, (const uint8_t *)"salt", 4, (uint8_t)c->f.N,
               (uint8_t)c->f.r, (uint8_t)c->f.p, c->out.data(), c->out.size());
        c->calls++;
        if (!c->asynchronous) pthread_testcancel();
    } while (c->loop);
    return nullptr;
}

struct cancel_case {
    const char *what;
    unsigned waiters;      // threads that queue behind a slow call and are cancelled there
    bool cancel_deriving;  // the thread deriving in a loop is cancelled too
    bool asynchronous;     // the cancelled threads use asynchronous cancellation
    unsigned rounds;       // of the whole, each at a random moment
};
void PrintTo(const cancel_case &c, std::ostream *os) {
    *os << c.what;
}

const cancel_case cancel_cases[] = {
    {"waiters in the queue", 3, false, false, 1},
    {"waiters with asynchronous cancellation", 3, false, true, 1},
    {"the deriving thread", 0, true, false, 1},
    {"the deriving thread with asynchronous cancellation", 0, true, true, 1},
    {"waiters and the deriving thread at random moments", 2, true, false, 20},
    {"asynchronous, at random moments", 2, true, true, 20},
};

class Cancellation : public testing::TestWithParam<cancel_case> {};

TEST_P(Cancellation, LeavesTheLibraryUsableAndNoCallHalfDone) {
    const cancel_case c = GetParam();
#ifdef SCRYPT_TEST_TSAN
    if (c.asynchronous)
        GTEST_SKIP() << "ThreadSanitizer's runtime is not safe under asynchronous cancellation (a "
                        "thread cancelled inside it may leave its locks held, and the join then "
                        "spins in its own code); the ordinary, clang and AddressSanitizer builds "
                        "run this case";
#endif
    const auto want_slow = openssl_scrypt("cancelled", "salt", slow.N, slow.r, slow.p, 32);
    const auto want_quick = openssl_scrypt("cancelled", "salt", quick.N, quick.r, quick.p, 32);
    ASSERT_TRUE(want_slow && want_quick);
    expect_child_succeeds([&] {
        srand(7);
        for (unsigned round = 0; round < c.rounds; round++) {
            // A slow call in progress, so that the waiters queue.
            caller holder{slow, false, false};
            pthread_create(&holder.thread, nullptr, calling, &holder);
            caller deriving{quick, c.asynchronous, true};
            if (c.cancel_deriving) {
                pthread_create(&deriving.thread, nullptr, calling, &deriving);
                while (deriving.calls == 0) std::this_thread::yield();
            }
            std::vector<std::unique_ptr<caller>> waiters;
            for (unsigned i = 0; i < c.waiters; i++)
                waiters.push_back(std::make_unique<caller>(quick, c.asynchronous, false));
            // The holder is inside its call (it has run for 2 ms), or done.
            wait_until([&] { return holder.calls > 0 || cpu_time_of(holder.thread) >= 2000000; });
            for (auto &w : waiters) pthread_create(&w->thread, nullptr, calling, w.get());
            // One round: the waiters are cancelled once they wait in the
            // queue; several: at random moments, queued or not yet.
            if (c.rounds > 1)
                usleep(rand() % 3000);
            else
                for (auto &w : waiters)
                    wait_until(
                        [&] { return w->calls > 0 || (w->tid != 0 && blocked_in_futex(w->tid)); });
            for (auto &w : waiters) pthread_cancel(w->thread);
            if (c.cancel_deriving) pthread_cancel(deriving.thread);
            for (auto &w : waiters) pthread_join(w->thread, nullptr);
            if (c.cancel_deriving) pthread_join(deriving.thread, nullptr);
            pthread_join(holder.thread, nullptr);
            if (holder.out != *want_slow) {
                fprintf(stderr, "round %u: the slow call got a wrong key\n", round);
                return 1;
            }
            // A waiter either never derived (cancelled in its wait: its
            // output untouched) or derived in full; never half.
            for (auto &w : waiters)
                if (w->out != bytes(32, 0) && w->out != *want_quick) {
                    fprintf(stderr, "round %u: a waiter's call was cut short\n", round);
                    return 2;
                }
            if (c.cancel_deriving && deriving.out != *want_quick) {
                fprintf(stderr, "round %u: the deriving thread's call was cut short\n", round);
                return 3;
            }
        }
        bool other = false;
        std::thread([&] { other = derives_right("after", "cancellation", {9, 3, 1}, 48); }).join();
        return other ? 0 : 4;
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, Cancellation, testing::ValuesIn(cancel_cases), named_by_what());

// Asynchronous cancellation at random moments of a thread that derives in a
// loop through scrypt_derive_key() or scrypt_derive_keys(), its passwords
// alternating: its output always holds one whole key (or nothing yet), never
// part of one and part of the other; and another thread derives right after.
struct key_caller {
    bool batch;
    std::atomic<unsigned> calls{0};
    uint8_t out[64] = {};
};

void *deriving_keys(void *arg) {
    key_caller *c = (key_caller *)arg;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    for (unsigned i = 0;; i++) {
        const uint8_t *password = (const uint8_t *)(i & 1 ? "odd" : "even");
        const size_t len = i & 1 ? 3 : 4;
        if (c->batch) {
            scrypt_job job = {password, len, (const uint8_t *)"salt", 4, c->out, sizeof c->out, 0};
            scrypt_derive_keys(&job, 1, 1024, 1, 2, UINT64_MAX);
        } else {
            scrypt_derive_key(password, len, (const uint8_t *)"salt", 4, 1024, 1, 2, c->out,
                              sizeof c->out);
        }
        c->calls++;
    }
    return nullptr;
}

TEST(Cancellation, AsynchronousNeverCutsAKeyCallShort) {
#ifdef SCRYPT_TEST_TSAN
    GTEST_SKIP() << "ThreadSanitizer's runtime is not safe under asynchronous cancellation; the "
                    "ordinary and clang builds run this case";
#endif
#ifdef SCRYPT_TEST_ASAN
    GTEST_SKIP() << "AddressSanitizer leaves the redzones of frames that asynchronous "
                    "cancellation unwinds poisoned (it unpoisons for longjmp and exceptions, not "
                    "for a forced unwind), so the thread's exit handlers, which here release the "
                    "thread's buffers, meet stale poison; the ordinary and clang builds run this "
                    "case";
#endif
    const auto want_even = openssl_scrypt_nrp("even", "salt", 1024, 1, 2, 64);
    const auto want_odd = openssl_scrypt_nrp("odd", "salt", 1024, 1, 2, 64);
    ASSERT_TRUE(want_even && want_odd);
    expect_child_succeeds([&] {
        srand(11);
        for (unsigned round = 0; round < 40; round++) {
            key_caller c;
            c.batch = round & 1;
            pthread_t t;
            pthread_create(&t, nullptr, deriving_keys, &c);
            wait_until([&] { return c.calls > 0; });
            usleep(rand() % 2000);
            pthread_cancel(t);
            pthread_join(t, nullptr);
            const bytes out(c.out, c.out + sizeof c.out);
            if (out != *want_even && out != *want_odd) {
                fprintf(stderr, "round %u (%s): the output holds no whole key\n", round,
                        c.batch ? "scrypt_derive_keys" : "scrypt_derive_key");
                return 1;
            }
        }
        bool other = false;
        std::thread([&] {
            other = derives_key_right("after", "cancellation", odd({9, 3, 1}), 48);
        }).join();
        return other ? 0 : 2;
    });
}

// Waiting scrypt() calls are served in the order they arrived: three
// waiters queue one after another (each blocked for good before the next
// starts) behind a slow call (128 MiB of table), and finish in that order.
// Each waiter's call (16 MiB of table) takes tens of milliseconds, so the
// order in which they note their ends is that of their calls.
TEST(Threads, WaitingScryptCallsAreServedInArrivalOrder) {
    expect_child_succeeds([] {
        if (!derives_right("first", "call", quick, 32)) return 3;
        caller holder{{16, 3, 0}, false, false};
        pthread_create(&holder.thread, nullptr, calling, &holder);
        wait_until([&] { return holder.calls > 0 || cpu_time_of(holder.thread) >= 5000000; });
        std::atomic<unsigned> ended{0};
        struct waiter {
            caller c{{13, 3, 0}, false, false};
            std::atomic<unsigned> *ended;
            unsigned place = 0;
        } waiters[3];
        for (waiter &w : waiters) {
            w.ended = &ended;
            pthread_create(
                &w.c.thread, nullptr,
                [](void *arg) -> void * {
                    waiter *w = (waiter *)arg;
                    calling(&w->c);
                    w->place = ++*w->ended;
                    return nullptr;
                },
                &w);
            wait_until([&] { return w.c.tid != 0 && stays_blocked(w.c.tid); });
        }
        if (holder.calls != 0) return 4;  // the holder ended before they all queued
        pthread_join(holder.thread, nullptr);
        for (waiter &w : waiters) pthread_join(w.c.thread, nullptr);
        for (unsigned i = 0; i < 3; i++)
            if (waiters[i].place != i + 1) {
                fprintf(stderr, "waiter %u ended in place %u\n", i, waiters[i].place);
                return 1;
            }
        return 0;
    });
}

// A waiter cancelled in the queue is gone from it: with one call in
// progress and a cancelled waiter queued behind it, the next caller is
// served as soon as that call ends (it would wait for ever for a ticket
// never served).
TEST(Cancellation, CancelledWaiterNeverDerives) {
    expect_child_succeeds([] {
        // The self-test first, so that the holder's call is its derivation
        // alone: 64 MiB of table, about 0.1 s here.  Once the holder has run
        // for 5 ms it holds the lock; the waiter then queues behind it and
        // is cancelled as soon as it waits there (blocked on the lock's
        // condition variable), long before the holder's call ends.
        if (!derives_right("first", "call", quick, 32)) return 3;
        caller holder{{15, 3, 0}, false, false};
        pthread_create(&holder.thread, nullptr, calling, &holder);
        wait_until([&] { return holder.calls > 0 || cpu_time_of(holder.thread) >= 5000000; });
        caller waiter{quick, false, false};
        pthread_create(&waiter.thread, nullptr, calling, &waiter);
        wait_until(
            [&] { return waiter.calls > 0 || (waiter.tid != 0 && blocked_in_futex(waiter.tid)); });
        if (holder.calls != 0) return 4;  // the holder ended before the waiter queued
        pthread_cancel(waiter.thread);
        pthread_join(waiter.thread, nullptr);
        pthread_join(holder.thread, nullptr);
        if (waiter.calls != 0 || waiter.out != bytes(32, 0)) return 1;
        return derives_right("next", "caller", quick, 32) ? 0 : 2;
    });
}

// A host's fork handlers that call the library, through both entry points,
// registered before the library's own (which the first call registers) or
// after them, while other threads derive through both: each handler's keys
// are right, and the child goes on calling.
std::atomic<unsigned> handler_keys_right{0}, handler_keys_wrong{0};
void handler_call() {
    (derives_right("in a fork handler", "salt", quick, 32) &&
             derives_key_right("in a fork handler", "salt", odd(quick), 32)
         ? handler_keys_right
         : handler_keys_wrong)++;
}
void fork_prepare() {
    handler_call();
}
void fork_parent() {
    handler_call();
}
void fork_child() {
    handler_call();
    // The child reports through its exit status: 0 when its handler's key
    // was right and it can derive on.
    if (handler_keys_wrong != 0 || !derives_right("in the child", "salt", quick, 32) ||
        !derives_key_right("in the child", "salt", odd(quick), 32))
        _exit(31);
}

struct fork_handler_case {
    const char *what;
    bool registered_first;  // the host's handlers before the library's
};
void PrintTo(const fork_handler_case &c, std::ostream *os) {
    *os << c.what;
}
const fork_handler_case fork_handler_cases[] = {
    {"registered before the library's", true},
    {"registered after the library's", false},
};

class HostForkHandlers : public testing::TestWithParam<fork_handler_case> {};

TEST_P(HostForkHandlers, MayCallTheLibrary) {
    const bool first = GetParam().registered_first;
    expect_child_succeeds([first] {
        if (first) pthread_atfork(fork_prepare, fork_parent, fork_child);
        if (!derives_right("first call", "salt", quick, 32)) return 1;
        if (!first) pthread_atfork(fork_prepare, fork_parent, fork_child);
        std::atomic<bool> stop{false};
        std::thread busy([&] {
            while (!stop) derive("busy", "salt", quick, 16);
        });
        std::thread busy_key([&] {
            while (!stop) derive_key("busy", "salt", odd(quick), 16);
        });
        for (unsigned round = 0; round < 3; round++) {
            const child_result c = in_child([] { return 0; });
            if (!c.exited || c.status != 0) {
                fprintf(stderr, "forked child %u: %s (status %d)\n", round,
                        c.exited ? "failed" : "killed", c.status);
                return 2;
            }
        }
        stop = true;
        busy.join();
        busy_key.join();
        // prepare and parent ran in this process, three times each.
        if (handler_keys_wrong != 0 || handler_keys_right != 6) {
            fprintf(stderr, "handlers: %u right, %u wrong\n", handler_keys_right.load(),
                    handler_keys_wrong.load());
            return 3;
        }
        return 0;
    });
}

INSTANTIATE_TEST_SUITE_P(Order, HostForkHandlers, testing::ValuesIn(fork_handler_cases),
                         named_by_what());

}  // namespace
