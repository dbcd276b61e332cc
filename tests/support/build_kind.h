// What kind of build the tests run in, for the few tests that cannot run
// under AddressSanitizer (it reserves the address space that they limit, and
// its allocator answers huge requests differently from the C library's) or
// count what the sanitizers change (their shadow memory takes page faults).
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define SCRYPT_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SCRYPT_TEST_ASAN 1
#endif
#endif

// ThreadSanitizer: its shadow memory takes page faults of its own.
#if defined(__SANITIZE_THREAD__)
#define SCRYPT_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SCRYPT_TEST_TSAN 1
#endif
#endif
