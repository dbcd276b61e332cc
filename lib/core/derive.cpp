#include "derive.h"

#include <stdlib.h>
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "api/handler.h"
#include "hash/hash.h"

namespace {

// RFC 7914 bounds p * 128 * r by (2^32 - 1) * 32; with powers of two that is
// pfactor + rfactor <= 29.  RFC 8018 bounds the PBKDF2 output likewise.
constexpr unsigned max_pr_factor = 29;
constexpr uint64_t max_output_bytes = ((uint64_t(1) << 32) - 1) * 32;

// Reports a failure; the derivation then stops.
bool fail(const char *message) {
    scrypt_report(message);
    return false;
}

void release(aligned_buffer &b) {
    free(b.raw);
    b.raw = nullptr;
    b.aligned = nullptr;
}

// Tables from this size on are offered to the kernel for transparent huge
// pages (2 MiB on x86-64); smaller ones would hold few or none.
constexpr uint64_t huge_page_table_bytes = uint64_t(4) << 20;

// Asks the kernel to back a large table with huge pages where it offers them
// on request (transparent huge pages in "madvise" mode): ROMix's random reads
// of the table then miss the TLB far less often, and its first touch takes
// far fewer page faults.  Only a hint, covering whole pages inside the
// allocation; if the kernel declines, nothing changes.
void advise_huge_pages(void *p, uint64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < huge_page_table_bytes) return;
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    const uintptr_t start = ((uintptr_t)p + page - 1) & ~(page - 1);
    const uintptr_t end = ((uintptr_t)p + bytes) & ~(page - 1);
    if (end > start) madvise((void *)start, end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

bool allocate(aligned_buffer &b, uint64_t bytes) {
    if (bytes > SIZE_MAX - 63) return false;
    b.raw = malloc((size_t)bytes + 63);
    if (b.raw == nullptr) return false;
    b.aligned = (uint8_t *)(((uintptr_t)b.raw + 63) & ~(uintptr_t)63);
    return true;
}

// Makes YX and V fit the factors, reusing them when the factors are the ones
// they were sized for.  On failure reports "out of memory" and leaves nothing
// held, so that a later call starts afresh.
bool fit_buffers(uint8_t Nfactor, uint8_t rfactor, uint8_t pfactor) {
    if (Nfactor == last_Nfactor && rfactor == last_rfactor && pfactor == last_pfactor) return true;
    if ((last_Nfactor & last_rfactor & last_pfactor) >= 0) {
        release(V);
        release(YX);
    }
    last_Nfactor = last_rfactor = last_pfactor = -1;

    const uint64_t chunk = uint64_t(128) << rfactor;
    if (!allocate(V, chunk << (Nfactor + 1))) return fail("scrypt: out of memory");
    advise_huge_pages(V.raw, (chunk << (Nfactor + 1)) + 63);
    if (!allocate(YX, chunk * ((uint64_t(1) << pfactor) + 1))) {
        release(V);
        return fail("scrypt: out of memory");
    }
    last_Nfactor = Nfactor;
    last_rfactor = rfactor;
    last_pfactor = pfactor;
    return true;
}

}  // namespace

extern "C" {

aligned_buffer YX = {nullptr, nullptr};
aligned_buffer V = {nullptr, nullptr};
int32_t last_Nfactor = -1, last_rfactor = -1, last_pfactor = -1;
SCRYPT_SEAM_CONST bool scrypt_wipe_work_buffers = true;

bool scrypt_derive(const uint8_t *password, size_t password_len, const uint8_t *salt,
                   size_t salt_len, uint8_t Nfactor, uint8_t rfactor, uint8_t pfactor, uint8_t *out,
                   size_t out_len, romix_function romix) {
    if (Nfactor > 30) return fail("scrypt: N out of range");
    if (rfactor > 8) return fail("scrypt: r out of range");
    if (pfactor > 25 || unsigned(pfactor) + rfactor > max_pr_factor)
        return fail("scrypt: p out of range");
    if (uint64_t(out_len) > max_output_bytes) return fail("scrypt: output length out of range");

    if (!fit_buffers(Nfactor, rfactor, pfactor)) return false;

    const uint32_t N = uint32_t(1) << (Nfactor + 1);
    const uint32_t r = uint32_t(1) << rfactor;
    const size_t chunk = size_t(128) << rfactor;
    const size_t p = size_t(1) << pfactor;
    uint8_t *Y = YX.aligned;
    uint8_t *B = Y + chunk;

    scrypt_pbkdf2(password, password_len, salt, salt_len, B, p * chunk);
    for (size_t i = 0; i < p; i++)
        romix((uint32_t *)(B + i * chunk), (uint32_t *)Y, (uint32_t *)V.aligned, N, r);
    scrypt_pbkdf2(password, password_len, B, p * chunk, out, out_len);

    // The work areas now hold what lies between password and key: the table
    // starts with an unmixed chunk of B, against which a password guess costs
    // one PBKDF2, and each later entry costs a guess only the mixing steps up
    // to it, with none of the memory; B mixed gives the key with one more
    // PBKDF2.  Both areas are zeroed before the call returns (the buffers
    // stay for the next call; their 63 bytes of alignment slack never hold
    // anything).
    if (scrypt_wipe_work_buffers) {
        scrypt_wipe(YX.aligned, (p + 1) * chunk);
        scrypt_wipe(V.aligned, size_t(N) * chunk);
    }
    return true;
}

}  // extern "C"
