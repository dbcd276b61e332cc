// Misuse and resource exhaustion: running out of address space, and long runs
// of calls whose factors change every time (so that both work buffers are
// released and allocated again on each call).
//
// Each scenario runs in a child process: the address-space limit must not
// touch the test runner, and the memory figures of a fresh process are not
// blurred by what other tests allocated.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scrypt-vornik.h"
#include "support/shared_buffers.h"

#ifdef SCRYPT_HAVE_MEMCHECK_H
#include <valgrind/valgrind.h>
#define SCRYPT_UNDER_VALGRIND (RUNNING_ON_VALGRIND != 0)
#else
#define SCRYPT_UNDER_VALGRIND false
#endif

#include "support/address_space.h"
#include "support/child.h"
#include "support/openssl_scrypt.h"
#include "support/process_memory.h"

namespace {

using bytes = std::vector<uint8_t>;

struct factors {
    uint8_t N, r, p;
};

bytes derive(const std::string &password, const std::string &salt, factors f, size_t len) {
    bytes out(len);
    scrypt((const uint8_t *)password.data(), password.size(), (const uint8_t *)salt.data(),
           salt.size(), f.N, f.r, f.p, out.data(), out.size());
    return out;
}

constexpr uint64_t headroom = uint64_t(256) << 20;

// Caps the address space at what is in use plus 256 MiB: room for the
// self-test's and the small derivations' buffers, far below the large ones.
// Returns false where the cap cannot be used: AddressSanitizer reserves
// terabytes of shadow address space up front, and valgrind runs its own
// allocator inside the same address space.
bool limit_address_space() {
    if (asan_build || SCRYPT_UNDER_VALGRIND) return false;
    const rlim_t cap = address_space_in_use() + headroom;
    const struct rlimit limit = {cap, cap};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

// Requests that cannot be met in the child, which runs under the cap
// wherever the cap can be used: a 2 GiB table, a 2 GiB YX buffer beside a
// small table, and a table of 2^46 bytes.  Without the cap whether a request
// fails depends on the host (its memory, its overcommit setting), so there
// only the last one runs: AddressSanitizer's allocator refuses anything
// above 2^40 bytes, and valgrind's has far less address space than 2^46.
struct oom_case {
    const char *name;
    factors f;
    bool refused_without_cap;
};

void PrintTo(const oom_case &c, std::ostream *os) {
    *os << c.name;
}

const oom_case oom_cases[] = {
    {"Table2GiB", {20, 3, 0}, false},
    {"WorkBuffer2GiB", {0, 4, 20}, false},
    {"Table64TiB", {30, 8, 0}, true},
};

const std::string password = "pleaseletmein", salt = "SodiumChloride";
constexpr factors small = {3, 1, 1};

// What the child wrote to standard error, less the warning that
// AddressSanitizer prints when its allocator refuses a request.
std::string without_sanitizer_notes(const std::string &text) {
    std::string kept;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        if (!(asan_build &&
              line.find("WARNING: AddressSanitizer failed to allocate") != std::string::npos))
            kept += line;
        at = end;
    }
    return kept;
}

class OutOfMemory : public testing::TestWithParam<oom_case> {
  protected:
    void SetUp() override {
        if (!GetParam().refused_without_cap && (asan_build || SCRYPT_UNDER_VALGRIND))
            GTEST_SKIP() << "the address-space cap is unusable here: AddressSanitizer reserves "
                            "terabytes of shadow memory, valgrind shares the address space";
    }
};

// The default handler prints exactly the message and a newline on standard
// error and ends the process with status 1, whether the failing call is the
// process's first (the self-test runs first and must still pass under the
// cap) or a later one.
TEST_P(OutOfMemory, DefaultHandlerPrintsMessageAndExitsWithStatus1) {
    const factors f = GetParam().f;
    for (bool warm : {false, true}) {
        SCOPED_TRACE(warm ? "after a small derivation" : "on the first call");
        child_result r = in_child([&] {
            if (!limit_address_space() && !GetParam().refused_without_cap) return 10;
            if (warm && derive(password, salt, small, 32) !=
                            openssl_scrypt(password, salt, small.N, small.r, small.p, 32))
                return 11;
            derive(password, salt, f, 64);
            return 12;  // the default handler must not return
        });
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(without_sanitizer_notes(r.output), "scrypt: out of memory\n");
    }
}

// A handler that returns gets the message once per failed call; the failed
// call leaves no buffer held and no factors recorded, and the next derivations allocate afresh and
// match OpenSSL, also with the factors held before the failure.
std::vector<std::string> messages;
void record(const char *message) {
    messages.push_back(message);
}

TEST_P(OutOfMemory, ReturningHandlerThenSmallDerivationSucceeds) {
    const factors f = GetParam().f;
    const factors second = {4, 0, 2};
    const auto want_small = openssl_scrypt(password, salt, small.N, small.r, small.p, 48);
    const auto want_second = openssl_scrypt(password, salt, second.N, second.r, second.p, 80);
    ASSERT_TRUE(want_small && want_second);
    child_result r = in_child([&] {
        if (!limit_address_space() && !GetParam().refused_without_cap) return 10;
        scrypt_set_fatal_error(record);
        if (derive(password, salt, small, 48) != want_small) return 11;
        if (!messages.empty()) return 12;
        derive(password, salt, f, 64);
        if (messages.size() != 1 || messages[0] != "scrypt: out of memory") return 13;
        if (YX.raw != nullptr || V.raw != nullptr) return 14;
        const factors_held none = held_factors();
        if (none.N != -1 || none.r != -1 || none.p != -1) return 14;
        // The factors held before the failure: nothing is held now, so they
        // must be allocated again, not taken for cached.
        if (derive(password, salt, small, 48) != want_small) return 15;
        if (derive(password, salt, second, 80) != want_second) return 16;
        derive(password, salt, f, 64);
        if (messages.size() != 2) return 17;
        if (derive(password, salt, second, 80) != want_second) return 18;
        if (messages.size() != 2) return 19;
        return 0;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << "child step " << r.status << " failed; stderr: " << r.output;
}

INSTANTIATE_TEST_SUITE_P(Requests, OutOfMemory, testing::ValuesIn(oom_cases),
                         [](const testing::TestParamInfo<oom_case> &info) {
                             return std::string(info.param.name);
                         });

// scrypt_derive_key() with buffers that cannot be had, in a child under the
// cap: the memory status, nothing written, no handler called (the default
// one would end the child), nothing held afterwards in the thread's buffers,
// and good calls succeed, before and after, also with the parameters held
// before the failure; a batch of such jobs fails every job alike.  Without
// the cap only the requests that no allocator can meet run: a table of 2^67
// bytes (whose size does not fit in 64 bits), and one of 2^46.
struct key_oom_case {
    const char *what;
    uint64_t N;
    uint32_t r, p;
    bool refused_without_cap;
};

void PrintTo(const key_oom_case &c, std::ostream *os) {
    *os << c.what;
}

const key_oom_case key_oom_cases[] = {
    {"Table1GiB", uint64_t(1) << 20, 8, 1, false},
    {"Table256GiB", uint64_t(1) << 31, 1, 1, false},
    {"Chunk64GiB", 2, uint32_t(1) << 29, 1, false},
    {"WorkBuffer128GiB", 2, 1, (uint32_t(1) << 30) - 1, false},
    {"WorkBuffer2GiBOddRAndP", 2, 3, 5592405, false},
    {"Table64TiB", uint64_t(1) << 31, 256, 1, true},
    {"TableBeyond64Bits", uint64_t(1) << 31, uint32_t(1) << 29, 1, true},
};

class DeriveKeyOutOfMemory : public testing::TestWithParam<key_oom_case> {
  protected:
    void SetUp() override {
        if (!GetParam().refused_without_cap && (asan_build || SCRYPT_UNDER_VALGRIND))
            GTEST_SKIP() << "the address-space cap is unusable here: AddressSanitizer reserves "
                            "terabytes of shadow memory, valgrind shares the address space";
    }
};

int derive_key(const std::string &pw, uint64_t N, uint32_t r, uint32_t p, bytes &out) {
    return scrypt_derive_key((const uint8_t *)pw.data(), pw.size(), (const uint8_t *)salt.data(),
                             salt.size(), N, r, p, out.data(), out.size());
}

TEST_P(DeriveKeyOutOfMemory, StatusThenGoodCallsSucceed) {
    const key_oom_case c = GetParam();
    const auto want = openssl_scrypt_nrp(password, salt, 16, 3, 5, 48);
    ASSERT_TRUE(want);
    child_result r = in_child([&] {
        if (!limit_address_space() && !c.refused_without_cap) return 10;
        bytes out(48);
        // The first call of the process: its self-test must pass under the
        // cap.
        if (derive_key(password, 16, 3, 5, out) != SCRYPT_OK || out != *want) return 11;
        bytes canary(64, 0x5a);
        if (derive_key(password, c.N, c.r, c.p, canary) != SCRYPT_ERR_MEMORY) return 12;
        if (canary != bytes(64, 0x5a)) return 13;
        const work_buffers &held = scrypt_thread_cache()->work;
        if (held.N != 0 || held.V.raw != nullptr || held.YX.raw != nullptr) return 14;
        if (derive_key(password, 16, 3, 5, out) != SCRYPT_OK || out != *want) return 15;
        if (derive_key(password, c.N, c.r, c.p, canary) != SCRYPT_ERR_MEMORY) return 16;
        if (derive_key(password, 16, 3, 5, out) != SCRYPT_OK || out != *want) return 17;
        // A batch of these fails every job alike, with nothing written (a
        // table beyond 64 bits exceeds even an unlimited allowance).
        const int expected =
            (unsigned __int128)c.N * 128 * c.r > UINT64_MAX ? SCRYPT_ERR_LIMIT : SCRYPT_ERR_MEMORY;
        bytes outs[3] = {bytes(16, 0x5a), bytes(16, 0x5a), bytes(16, 0x5a)};
        scrypt_job jobs[3];
        for (unsigned i = 0; i < 3; i++)
            jobs[i] = {(const uint8_t *)password.data(),
                       password.size(),
                       (const uint8_t *)"s",
                       1,
                       outs[i].data(),
                       outs[i].size(),
                       1};
        if (scrypt_derive_keys(jobs, 3, c.N, c.r, c.p, UINT64_MAX) != expected) return 18;
        for (unsigned i = 0; i < 3; i++)
            if (jobs[i].status != expected || outs[i] != bytes(16, 0x5a)) return 19;
        if (derive_key(password, 16, 3, 5, out) != SCRYPT_OK || out != *want) return 20;
        return 0;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << "child step " << r.status << " failed; stderr: " << r.output;
}

INSTANTIATE_TEST_SUITE_P(Requests, DeriveKeyOutOfMemory, testing::ValuesIn(key_oom_cases),
                         [](const testing::TestParamInfo<key_oom_case> &info) {
                             return std::string(info.param.what);
                         });

// The process's first call, under a cap too tight for the self-test's
// derivations (a 1 MiB table): the call fails for want of memory, through
// either entry point, and nothing else happens; once memory is back, the
// next call runs the self-test afresh, passes it and derives, and no
// self-test failure is ever reported.  A shortage at the first call must not
// be taken for a broken library for the rest of the process.
struct first_call_case {
    const char *what;
    bool key_first;  // the first call is scrypt_derive_key()'s
};

void PrintTo(const first_call_case &c, std::ostream *os) {
    *os << c.what;
}

const first_call_case first_call_cases[] = {{"DeriveKeyFirst", true}, {"ScryptFirst", false}};

class FirstCallOutOfMemory : public testing::TestWithParam<first_call_case> {
  protected:
    void SetUp() override {
        if (asan_build || SCRYPT_UNDER_VALGRIND)
            GTEST_SKIP() << "the address-space cap is unusable here: AddressSanitizer reserves "
                            "terabytes of shadow memory, valgrind shares the address space";
    }
};

TEST_P(FirstCallOutOfMemory, FailsThatCallOnlyAndTheSelfTestRunsAgain) {
    const bool key_first = GetParam().key_first;
    const auto want = openssl_scrypt(password, salt, small.N, small.r, small.p, 48);
    const auto want_key = openssl_scrypt_nrp(password, salt, 16, 3, 5, 48);
    ASSERT_TRUE(want && want_key);
    child_result r = in_child([&] {
        scrypt_set_fatal_error(record);
        struct rlimit was;
        if (getrlimit(RLIMIT_AS, &was) != 0) return 10;
        const rlim_t cap = address_space_in_use() + (256 << 10);
        const struct rlimit tight = {cap, was.rlim_max};
        if (setrlimit(RLIMIT_AS, &tight) != 0) return 10;
        bytes canary(48, 0x5a);
        if (key_first) {
            if (derive_key(password, 16, 3, 5, canary) != SCRYPT_ERR_MEMORY) return 11;
        } else {
            scrypt((const uint8_t *)password.data(), password.size(), (const uint8_t *)salt.data(),
                   salt.size(), small.N, small.r, small.p, canary.data(), canary.size());
            if (messages != std::vector<std::string>{"scrypt: out of memory"}) return 12;
        }
        if (canary != bytes(48, 0x5a)) return 13;
        if (setrlimit(RLIMIT_AS, &was) != 0) return 10;
        messages.clear();
        bytes out(48);
        if (derive_key(password, 16, 3, 5, out) != SCRYPT_OK || out != *want_key) return 14;
        if (derive(password, salt, small, 48) != *want) return 15;
        if (!messages.empty()) return 16;
        return 0;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << "child step " << r.status << " failed; stderr: " << r.output;
}

INSTANTIATE_TEST_SUITE_P(Entry, FirstCallOutOfMemory, testing::ValuesIn(first_call_cases),
                         [](const testing::TestParamInfo<first_call_case> &info) {
                             return std::string(info.param.what);
                         });

// Calls that alternate their factors, so that every call replaces both work
// buffers.  The first round is checked against OpenSSL.
const factors churn_cycle[] = {{4, 0, 0}, {9, 3, 0}, {5, 1, 1}, {3, 0, 3}, {8, 2, 2}, {9, 3, 1}};

int churn(unsigned rounds) {
    for (unsigned round = 0; round < rounds; round++) {
        for (factors f : churn_cycle) {
            const std::string pw = password + std::to_string(round);
            bytes got = derive(pw, salt, f, 40);
            if (round == 0 && got != openssl_scrypt(pw, salt, f.N, f.r, f.p, 40)) return 20;
        }
    }
    return 0;
}

// Everything a run of calls allocates is released again when the buffers are
// replaced.  Under AddressSanitizer, LeakSanitizer checks this at exit (the
// loop runs in the test process itself); under valgrind memcheck's leak check
// does.
TEST(BufferChurn, ReplacedBuffersAreReleased) {
    const unsigned rounds = SCRYPT_UNDER_VALGRIND ? 3 : 40;
    ASSERT_EQ(churn(rounds), 0);
    // The last call's buffers are held, sized for its factors, nothing else.
    const factors last = churn_cycle[sizeof churn_cycle / sizeof *churn_cycle - 1];
    EXPECT_EQ(held_factors().N, last.N);
    EXPECT_EQ(held_factors().r, last.r);
    EXPECT_EQ(held_factors().p, last.p);
}

// Memory stays bounded over many calls: after a warm-up, neither the bytes
// the allocator holds for the program nor the resident set grow, although
// every call frees and allocates up to 1 MiB.  A buffer lost on each
// replacement would add hundreds of megabytes.
TEST(BufferChurn, MemoryStaysBoundedOverManyCalls) {
    if (asan_build)
        GTEST_SKIP()
            << "AddressSanitizer keeps freed memory in quarantine; LeakSanitizer covers this";
    if (SCRYPT_UNDER_VALGRIND) GTEST_SKIP() << "valgrind's allocator holds freed blocks back";
    child_result r = in_child([] {
        if (churn(5) != 0) return 20;
        const struct mallinfo2 before = mallinfo2();
        const uint64_t rss_before = resident_bytes();
        if (churn(250) != 0) return 21;
        const struct mallinfo2 after = mallinfo2();
        const uint64_t rss_after = resident_bytes();
        fprintf(stderr, "in use %zu -> %zu bytes, resident %llu -> %llu KiB\n",
                before.uordblks + before.hblkhd, after.uordblks + after.hblkhd,
                (unsigned long long)rss_before >> 10, (unsigned long long)rss_after >> 10);
        // Same point in the cycle: the same buffers are held.
        if (after.uordblks + after.hblkhd != before.uordblks + before.hblkhd) return 22;
        if (rss_after > rss_before + (uint64_t(8) << 20)) return 23;
        return 0;
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.output;
    printf("%s", r.output.c_str());  // the figures, for the record
}

}  // namespace
