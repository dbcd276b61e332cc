#include "derive.h"

#include <stdlib.h>
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "hash/hash.h"

namespace {

// RFC 7914 bounds p * 128 * r by (2^32 - 1) * 32, that is r * p < 2^30.
// RFC 8018 bounds the PBKDF2 output likewise.
constexpr uint64_t max_rp = uint64_t(1) << 30;
constexpr uint64_t max_N = uint64_t(1) << 31;
constexpr uint64_t max_output_bytes = ((uint64_t(1) << 32) - 1) * 32;

}  // namespace

extern "C" derive_status scrypt_check_parameters(uint64_t N, uint32_t r, uint32_t p,
                                                 size_t out_len) {
    if (N < 2 || N > max_N || (N & (N - 1)) != 0) return DERIVE_BAD_N;
    if (r == 0) return DERIVE_BAD_R;
    if (p == 0 || uint64_t(r) * p >= max_rp) return DERIVE_BAD_P;
    if (uint64_t(out_len) > max_output_bytes) return DERIVE_BAD_LENGTH;
    return DERIVE_OK;
}

namespace {

void release(aligned_buffer &b) {
    free(b.raw);
    b.raw = nullptr;
    b.aligned = nullptr;
}

// Tables from this size on are offered to the kernel for transparent huge
// pages (2 MiB on x86-64); smaller ones would hold few or none.
constexpr uint64_t huge_page_table_bytes = uint64_t(4) << 20;
constexpr uint64_t huge_page_bytes = uint64_t(2) << 20;

// Asks the kernel to back a large table, which starts on a huge-page
// boundary, with huge pages where it offers them on request (transparent
// huge pages in "madvise" mode): ROMix's random reads of the table then miss
// the TLB far less often, and its first touch takes far fewer page faults.
// Only a hint, covering the table's whole pages; if the kernel declines,
// nothing changes.
void advise_huge_pages(void *p, uint64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
    const uint64_t whole = bytes & ~(page - 1);
    if (whole > 0) madvise(p, (size_t)whole, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// `bytes` at a multiple of `align` (a power of two) inside a larger block.
bool allocate(aligned_buffer &b, uint64_t bytes, uint64_t align = 64) {
    if (bytes > SIZE_MAX - (align - 1)) return false;
    b.raw = malloc((size_t)(bytes + align - 1));
    if (b.raw == nullptr) return false;
    b.aligned = (uint8_t *)(((uintptr_t)b.raw + align - 1) & ~(uintptr_t)(align - 1));
    return true;
}

}  // namespace

bool scrypt_fit_work(work_buffers *work, uint64_t N, uint32_t r, uint32_t p, uint32_t tables,
                     uint32_t lane_chunks) {
    const work_buffers &held = *work;
    if (held.N == N && held.r == r && held.p == p && held.tables == tables &&
        held.lane_chunks == lane_chunks)
        return true;
    // The old buffers are taken out of `work` before they are released, and
    // the new ones put into it only once both are had.
    scrypt_release_work(work);

    // The tables, tables * N * 128 * r bytes, can exceed 64 bits (2^31 *
    // 2^37): such tables cannot be had.  YX, (1 + p + lane_chunks) * 128 * r
    // bytes, stays below 2^39.
    const uint64_t chunk = uint64_t(128) * r;
    if (chunk > UINT64_MAX / N || chunk * N > UINT64_MAX / tables) return false;
    const uint64_t table = chunk * N * tables;
    work_buffers w = {};
    // Large tables (one, or a batch's together) start on a huge-page
    // boundary, so that every 2 MiB of them can be one huge page; the slack
    // before them is never written.
    // (With 16 MiB of tables on an AMD family 0x19 model 0x11, all 16 MiB
    // then came as huge pages instead of 14, and a batch of RFC 7914's
    // second vector ran about 2 % faster.)
    const bool huge = table >= huge_page_table_bytes;
    if (!allocate(w.V, table, huge ? huge_page_bytes : 64)) return false;
    if (huge) advise_huge_pages(w.V.aligned, table);
    if (!allocate(w.YX, chunk * (uint64_t(p) + 1 + lane_chunks))) {
        release(w.V);
        return false;
    }
    w.N = N;
    w.r = r;
    w.p = p;
    w.tables = tables;
    w.lane_chunks = lane_chunks;
    scrypt_exchange_work(work, &w);
    return true;
}

extern "C" {

SCRYPT_SEAM_CONST bool scrypt_wipe_work_buffers = true;

void scrypt_release_work(work_buffers *work) {
    if (work->N == 0) return;
    work_buffers w = {};
    scrypt_exchange_work(work, &w);
    release(w.V);
    release(w.YX);
}

derive_status scrypt_derive_in(work_buffers *work, const uint8_t *password, size_t password_len,
                               const uint8_t *salt, size_t salt_len, uint64_t N, uint32_t r,
                               uint32_t p, uint8_t *out, size_t out_len, romix_function romix) {
    const derive_status status = scrypt_check_parameters(N, r, p, out_len);
    if (status != DERIVE_OK) return status;
    if (!scrypt_fit_work(work, N, r, p, 1, 0)) return DERIVE_NO_MEMORY;

    // Below 2^37 bytes: r * p < 2^30.
    const size_t chunk = size_t(128) * r;
    const size_t mixed = chunk * p;
    uint8_t *Y = work->YX.aligned;
    uint8_t *B = Y + chunk;

    scrypt_pbkdf2(password, password_len, salt, salt_len, B, mixed);
    for (size_t i = 0; i < p; i++)
        romix((uint32_t *)(B + i * chunk), (uint32_t *)Y, (uint32_t *)work->V.aligned, (uint32_t)N,
              r);
    scrypt_pbkdf2(password, password_len, B, mixed, out, out_len);

    // The work areas now hold what lies between password and key: the table
    // starts with an unmixed chunk of B, against which a password guess costs
    // one PBKDF2, and each later entry costs a guess only the mixing steps up
    // to it, with none of the memory; B mixed gives the key with one more
    // PBKDF2.  Both areas are zeroed before the call returns (the buffers
    // stay for the next call; their alignment slack never holds anything).
    if (scrypt_wipe_work_buffers) {
        scrypt_wipe(work->YX.aligned, mixed + chunk);
        scrypt_wipe(work->V.aligned, size_t(N) * chunk);
    }
    return DERIVE_OK;
}

}  // extern "C"
