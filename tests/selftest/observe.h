// What a test process sees of the library from outside: every heap request
// and release it makes (the test binaries are linked with
// --wrap=malloc --wrap=free) and every message it reports to an installed
// handler, recorded in one ordered log.
#ifndef SCRYPT_VORNIK_TESTS_SELFTEST_OBSERVE_H
#define SCRYPT_VORNIK_TESTS_SELFTEST_OBSERVE_H

#include <stdint.h>

#include <initializer_list>
#include <string>

namespace observe {

// Starts a fresh log and records from now on: allocations, releases and the
// messages that reach record_message().
void start();
// Stops recording allocations (messages are still recorded).
void stop();
// Puts a "|" into the log, to separate one call from the next.
void mark();
// The fatal-error handler that records its message and returns.
void record_message(const char *message);

// The log, one token per event, separated by spaces:
//   M<bytes>  a malloc request of that many bytes
//   F<k>      free of the pointer returned by the k-th recorded malloc
//             (counting from 0; "F?" for a pointer not seen, "F-" for null)
//   <text>    a message given to record_message()
//   |         a mark()
std::string log();

// Child-process bodies for death tests; each prints the log to standard
// error and ends the process.
struct factors {
    unsigned Nfactor, rfactor, pfactor;
};
// Installs record_message() as handler, then makes one scrypt() call per
// entry (a mark() between calls) with a fixed password and salt.  Exit
// status: the number of in-range calls whose key differs from OpenSSL's.
[[noreturn]] void calls_and_exit(std::initializer_list<factors> calls);
// Installs record_message() as handler, raises the self-test flag as scrypt()
// does and runs the self-test directly.  Exit status: its result.
[[noreturn]] void self_test_and_exit();
// Installs record_message() as handler, makes two scrypt_derive_key() calls
// with N = 16, r = 3, p = 5, then the scrypt() calls as calls_and_exit()
// does (a mark() before each).  Exit status: 10 times the negated status of
// both derive_key calls (0, or 30 for SCRYPT_ERR_SELFTEST) plus the number of
// wrong scrypt() keys; 100 when the two statuses differ, 101 for a wrong
// derive_key key.
[[noreturn]] void derive_key_then_calls_and_exit(std::initializer_list<factors> calls);

}  // namespace observe

#endif
