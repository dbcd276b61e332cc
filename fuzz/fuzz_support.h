// Shared by the fuzz targets: a failed comparison with the oracle is reported
// and the process aborted, so that libFuzzer saves the input as a crash.
#ifndef SCRYPT_VORNIK_FUZZ_SUPPORT_H
#define SCRYPT_VORNIK_FUZZ_SUPPORT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

using bytes = std::vector<uint8_t>;

// A heap area, 64-byte aligned and exactly as large
// as asked, so that an access beyond it is a sanitizer report.
struct area {
    uint32_t *w;
    size_t bytes;
    explicit area(size_t n) : w((uint32_t *)aligned_alloc(64, n)), bytes(n) { memset(w, 0, n); }
    ~area() { free(w); }
    area(const area &) = delete;
    area &operator=(const area &) = delete;
};

inline void dump(const char *what, const uint8_t *p, size_t n) {
    fprintf(stderr, "  %s (%zu bytes):", what, n);
    for (size_t i = 0; i < n && i < 96; i++)
        fprintf(stderr, "%s%02x", i % 32 ? "" : "\n    ", p[i]);
    fprintf(stderr, "%s\n", n > 96 ? " ..." : "");
}

// Aborts with a description unless got[0, n) equals want[0, n).
inline void require_equal(const char *what, const void *got, const void *want, size_t n) {
    if (n == 0 || memcmp(got, want, n) == 0) return;
    fprintf(stderr, "MISMATCH: %s\n", what);
    dump("got", (const uint8_t *)got, n);
    dump("want", (const uint8_t *)want, n);
    abort();
}

inline void require(bool ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "FAILED: %s\n", what);
    abort();
}

#endif
