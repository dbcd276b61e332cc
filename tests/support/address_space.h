// For tests that cap their own address space (setrlimit RLIMIT_AS) to show
// that a request fails, or is never made.  Include it from one source file of
// a test binary: in a build with AddressSanitizer it defines the sanitizer's
// options for the whole binary.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "support/build_kind.h"

#ifdef SCRYPT_TEST_ASAN
// AddressSanitizer reserves terabytes of shadow address space up front, so a
// cap cannot be used under it.
constexpr bool asan_build = true;
// An allocation beyond what the sanitizer's allocator can give must come back
// as a null pointer, as it does from the C library, not abort the test.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
#else
constexpr bool asan_build = false;
#endif

// Current size of this process's address space, in bytes.
inline uint64_t address_space_in_use() {
    FILE *f = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f) {
        if (fscanf(f, "%lu", &pages) != 1) pages = 0;
        fclose(f);
    }
    return uint64_t(pages) * (uint64_t)sysconf(_SC_PAGESIZE);
}
