#include "observe.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/scrypt.h"
#include "scrypt-vornik.h"
#include "selftest/selftest.h"
#include "support/openssl_scrypt.h"

// The recorder lives in fixed storage: __wrap_malloc must not allocate.
namespace {

enum kind : uint8_t { MALLOC, FREE, MESSAGE, MARK };

struct event {
    kind what;
    uint64_t bytes;
    const void *pointer;
    const char *message;
};

constexpr size_t capacity = 256;
event events[capacity];
size_t count = 0;
bool recording_allocations = false;
bool recording = false;

void add(const event &e) {
    if (count < capacity) events[count++] = e;
}

}  // namespace

extern "C" {
void *__real_malloc(size_t);
void __real_free(void *);

void *__wrap_malloc(size_t bytes) {
    void *p = __real_malloc(bytes);
    if (recording_allocations) add({MALLOC, bytes, p, nullptr});
    return p;
}

void __wrap_free(void *p) {
    if (recording_allocations) add({FREE, 0, p, nullptr});
    __real_free(p);
}
}

namespace observe {

void start() {
    count = 0;
    recording = recording_allocations = true;
}

void stop() {
    recording_allocations = false;
}

void mark() {
    if (recording) add({MARK, 0, nullptr, nullptr});
}

void record_message(const char *message) {
    if (recording) add({MESSAGE, 0, nullptr, message});
}

std::string log() {
    std::string s;
    for (size_t i = 0; i < count; i++) {
        if (!s.empty()) s += ' ';
        const event &e = events[i];
        switch (e.what) {
            case MALLOC:
                s += 'M' + std::to_string(e.bytes);
                break;
            case FREE: {
                std::string which = e.pointer ? "?" : "-";
                for (size_t k = 0, m = 0; k < i; k++) {
                    if (events[k].what != MALLOC) continue;
                    if (events[k].pointer == e.pointer) which = std::to_string(m);
                    m++;
                }
                s += 'F' + which;
                break;
            }
            case MESSAGE:
                s += '<' + std::string(e.message) + '>';
                break;
            case MARK:
                s += '|';
                break;
        }
    }
    if (count == capacity) s += " (log full)";
    return s;
}

namespace {

[[noreturn]] void print_and_exit(int status) {
    const std::string s = log();
    fputs(s.c_str(), stderr);
    fflush(stderr);
    _Exit(status);
}

const std::string password = "pleaseletmein", salt = "SodiumChloride";

// The scrypt() calls of calls_and_exit() and derive_key_then_calls_and_exit(),
// a mark() before each but the first when `mark_first` is false; ends the
// recording and the process with `base` plus the number of wrong keys.
[[noreturn]] void scrypt_calls_and_exit(std::initializer_list<factors> calls, bool mark_first,
                                        int base) {
    uint8_t keys[8][64];
    if (calls.size() > 8) abort();
    size_t i = 0;
    for (const factors &f : calls) {
        if (i || mark_first) mark();
        memset(keys[i], 0, 64);
        scrypt((const uint8_t *)password.data(), password.size(), (const uint8_t *)salt.data(),
               salt.size(), (uint8_t)f.Nfactor, (uint8_t)f.rfactor, (uint8_t)f.pfactor, keys[i],
               64);
        i++;
    }
    stop();
    int wrong = 0;
    i = 0;
    for (const factors &f : calls) {
        uint8_t want[64];
        const bool in_range = f.Nfactor <= 30 && f.rfactor <= 8 && f.pfactor <= 25;
        if (in_range &&
            (!openssl_scrypt_into(password.data(), password.size(), salt.data(), salt.size(),
                                  f.Nfactor, f.rfactor, f.pfactor, want, 64) ||
             memcmp(keys[i], want, 64) != 0))
            wrong++;
        i++;
    }
    print_and_exit(base + wrong);
}

}  // namespace

void calls_and_exit(std::initializer_list<factors> calls) {
    scrypt_set_fatal_error(record_message);
    start();
    scrypt_calls_and_exit(calls, false, 0);
}

void derive_key_then_calls_and_exit(std::initializer_list<factors> calls) {
    scrypt_set_fatal_error(record_message);
    start();
    uint8_t key[64];
    const int first =
        scrypt_derive_key((const uint8_t *)password.data(), password.size(),
                          (const uint8_t *)salt.data(), salt.size(), 16, 3, 5, key, sizeof key);
    const int second =
        scrypt_derive_key((const uint8_t *)password.data(), password.size(),
                          (const uint8_t *)salt.data(), salt.size(), 16, 3, 5, key, sizeof key);
    if (first != second) {
        stop();
        print_and_exit(100);
    }
    if (first == SCRYPT_OK) {
        uint8_t want[64];
        if (!openssl_scrypt_nrp_into(password.data(), password.size(), salt.data(), salt.size(), 16,
                                     3, 5, want, sizeof want) ||
            memcmp(key, want, sizeof want) != 0) {
            stop();
            print_and_exit(101);
        }
    }
    scrypt_calls_and_exit(calls, true, -10 * first);
}

void self_test_and_exit() {
    scrypt_set_fatal_error(record_message);
    start();
    power_on_self_test = 1;
    const uint32_t result = scrypt_power_on_self_test();
    stop();
    print_and_exit((int)result);
}

}  // namespace observe
