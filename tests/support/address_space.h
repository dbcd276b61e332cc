// For tests that cap their own address space (setrlimit RLIMIT_AS) to show
// that a request fails, or is never made.  Include it from one source file of
// a test binary: in a build with AddressSanitizer it defines the sanitizer's
// options for the whole binary.
#pragma once

#include "support/build_kind.h"
#include "support/process_memory.h"

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
