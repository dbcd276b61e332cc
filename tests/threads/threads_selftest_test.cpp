// Another thread's call while the first call's self-test waits in the
// handler.  The handler runs with the lock released, so that call goes ahead:
// it does not wait for the self-test and does not run it again (the flag went
// up when the self-test began), and derives with the forms as the self-test
// has ranked them (the forms are tested and ranked before the first report
// can be made).  Runs on the test-only build whose known answers can be made
// to fail.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

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

}  // namespace
