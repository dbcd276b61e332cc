// Another thread's call while the first call's self-test waits in the
// handler, through either entry point, and a scrypt() call while
// scrypt_derive_key() runs the self-test.  The handler runs with the lock
// released, so the other call goes ahead: it does not wait for the self-test
// and does not run it again (the flag went up when the self-test began);
// scrypt() derives with the forms as the self-test has ranked them (the forms
// are tested and ranked before the first report can be made), and
// scrypt_derive_key() returns the self-test status.  Runs on the test-only
// build whose known answers can be made to fail.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "scrypt-vornik.h"
#include "selftest/selftest.h"
#include "support/case_name.h"
#include "support/child.h"
#include "support/openssl_scrypt.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes derive(const char *password, unsigned N, unsigned r, unsigned p) {
    bytes out(32);
    scrypt((const uint8_t *)password, strlen(password), (const uint8_t *)"salt", 4, (uint8_t)N,
           (uint8_t)r, (uint8_t)p, out.data(), out.size());
    return out;
}

std::vector<std::string> messages;
bool other_thread_right = false;
size_t messages_after_other_thread = 0;

// What the other thread does, and whether it got what it should.
bool (*other_call)();

// A scrypt() call derives to the end, with factors other than the self-test's
// rows.
bool other_scrypt_call() {
    return derive("other", 9, 3, 0) == openssl_scrypt("other", "salt", 9, 3, 0, 32);
}

// A scrypt_derive_key() call returns SCRYPT_ERR_SELFTEST at once (a part has
// failed), writing nothing.
bool other_derive_key_call() {
    bytes out(32, 0x5a);
    return scrypt_derive_key((const uint8_t *)"other", 5, (const uint8_t *)"salt", 4, 1024, 3, 5,
                             out.data(), out.size()) == SCRYPT_ERR_SELFTEST &&
           out == bytes(32, 0x5a);
}

// At the self-test's report, another thread makes its call, to the end,
// before the handler returns.
void handler(const char *message) {
    messages.push_back(message);
    if (messages.size() > 1) return;
    std::thread([] { other_thread_right = other_call(); }).join();
    messages_after_other_thread = messages.size();
}

struct other_case {
    const char *what;
    bool (*call)();
};

void PrintTo(const other_case &c, std::ostream *os) {
    *os << c.what;
}

class WhileTheFirstCallsSelfTestWaitsInTheHandler : public testing::TestWithParam<other_case> {};

TEST_P(WhileTheFirstCallsSelfTestWaitsInTheHandler, AnotherThreadsCallGoesAhead) {
    const auto want = openssl_scrypt("first", "salt", 4, 1, 1, 32);
    ASSERT_TRUE(want);
    other_call = GetParam().call;
    const child_result r = in_child([&] {
        alarm(120);
        post_hash_expected[31] ^= 0x01;  // the hash sub-test now fails
        scrypt_set_fatal_error(handler);
        const bool first_right = derive("first", 4, 1, 1) == *want;
        fprintf(stderr, "messages:");
        for (const std::string &m : messages) fprintf(stderr, " <%s>", m.c_str());
        fprintf(stderr, "\nother thread %s, %zu message(s) after it; first call %s\n",
                other_thread_right ? "right" : "WRONG", messages_after_other_thread,
                first_right ? "right" : "WRONG");
        return 0;
    });
    ASSERT_TRUE(r.exited) << "killed (SIGALRM: deadlocked); it wrote:\n" << r.output;
    EXPECT_EQ(r.output,
              "messages: <scrypt: hash function power-on-self-test failed>\n"
              "other thread right, 1 message(s) after it; first call right\n");
}

INSTANTIATE_TEST_SUITE_P(Threads, WhileTheFirstCallsSelfTestWaitsInTheHandler,
                         testing::Values(other_case{"scrypt", other_scrypt_call},
                                         other_case{"scrypt_derive_key", other_derive_key_call}),
                         named_by_what());

// scrypt_derive_key() first, its self-test failing, with a scrypt() call and a
// second scrypt_derive_key() call from other threads starting as it runs:
// scrypt() waits for the self-test, then reports the failure once and
// derives; both scrypt_derive_key() calls return SCRYPT_ERR_SELFTEST.
TEST(Threads, ScryptCallWaitsForTheSelfTestThatDeriveKeyRuns) {
    const auto want = openssl_scrypt("scrypt", "salt", 4, 1, 1, 32);
    ASSERT_TRUE(want);
    const child_result r = in_child([&] {
        alarm(120);
        post_hash_expected[31] ^= 0x01;
        scrypt_set_fatal_error([](const char *m) { messages.push_back(m); });
        std::atomic<bool> started{false};
        int first = 0, second = 0;
        bool scrypt_right = false;
        std::thread a([&] {
            started = true;
            uint8_t out[16];
            first = scrypt_derive_key(nullptr, 0, nullptr, 0, 16, 3, 5, out, sizeof out);
        });
        while (!started) std::this_thread::yield();
        std::thread b([&] { scrypt_right = derive("scrypt", 4, 1, 1) == *want; });
        std::thread c([&] {
            uint8_t out[16];
            second = scrypt_derive_key(nullptr, 0, nullptr, 0, 16, 3, 5, out, sizeof out);
        });
        a.join();
        b.join();
        c.join();
        fprintf(stderr, "statuses %d %d; messages:", first, second);
        for (const std::string &m : messages) fprintf(stderr, " <%s>", m.c_str());
        fprintf(stderr, "; scrypt %s\n", scrypt_right ? "right" : "WRONG");
        return 0;
    });
    ASSERT_TRUE(r.exited) << "killed (SIGALRM: deadlocked); it wrote:\n" << r.output;
    const std::string s = std::to_string(SCRYPT_ERR_SELFTEST);
    EXPECT_EQ(r.output, "statuses " + s + " " + s +
                            "; messages: <scrypt: hash function power-on-self-test failed>; "
                            "scrypt right\n");
}

}  // namespace
