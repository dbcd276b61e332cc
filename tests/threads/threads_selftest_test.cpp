// Another thread's call while the first call's self-test waits in the
// handler, through either entry point, and a scrypt() call while
// scrypt_derive_key() runs the self-test.  The handler runs with the lock released, so that call
// goes ahead: it does not wait for the self-test and does not run it again (the flag went up when
// the self-test began), and derives with the forms as the self-test has ranked them (the forms are
// tested and ranked before the first report can be made).  Runs on the test-only build whose known
// answers can be made to fail.
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

// At the self-test's report, another thread derives to the end, with
// factors other than the self-test's rows, before the handler returns.
void handler(const char *message) {
    messages.push_back(message);
    if (messages.size() > 1) return;
    std::thread([] {
        other_thread_right =
            derive("other", 9, 3, 0) == openssl_scrypt("other", "salt", 9, 3, 0, 32);
    }).join();
    messages_after_other_thread = messages.size();
}

TEST(Threads, CallWhileTheFirstCallsSelfTestWaitsInTheHandler) {
    const auto want = openssl_scrypt("first", "salt", 4, 1, 1, 32);
    ASSERT_TRUE(want);
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

// The same, with a scrypt_derive_key() call in the other thread: it does not
// wait for the handler either, and returns SCRYPT_ERR_SELFTEST at once (a part
// has failed), writing nothing; the first call still derives.
int other_status = 0;
bool other_untouched = false;

void handler_with_derive_key(const char *message) {
    messages.push_back(message);
    if (messages.size() > 1) return;
    std::thread([] {
        bytes out(32, 0x5a);
        other_status = scrypt_derive_key((const uint8_t *)"other", 5, (const uint8_t *)"salt", 4,
                                         1024, 3, 5, out.data(), out.size());
        other_untouched = out == bytes(32, 0x5a);
    }).join();
    messages_after_other_thread = messages.size();
}

TEST(Threads, DeriveKeyWhileTheFirstCallsSelfTestWaitsInTheHandler) {
    const auto want = openssl_scrypt("first", "salt", 4, 1, 1, 32);
    ASSERT_TRUE(want);
    const child_result r = in_child([&] {
        alarm(120);
        post_hash_expected[31] ^= 0x01;  // the hash sub-test now fails
        scrypt_set_fatal_error(handler_with_derive_key);
        const bool first_right = derive("first", 4, 1, 1) == *want;
        fprintf(stderr, "messages %zu, other thread status %d%s, %zu message(s) after it; %s\n",
                messages.size(), other_status, other_untouched ? "" : " (wrote its output)",
                messages_after_other_thread, first_right ? "first call right" : "first call WRONG");
        return 0;
    });
    ASSERT_TRUE(r.exited) << "killed (SIGALRM: deadlocked); it wrote:\n" << r.output;
    EXPECT_EQ(r.output, "messages 1, other thread status " + std::to_string(SCRYPT_ERR_SELFTEST) +
                            ", 1 message(s) after it; first call right\n");
}

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
