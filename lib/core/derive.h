// One derivation in (N, r, p): the parameter checks, the work buffers sized
// for the parameters, and the flow
//   B = PBKDF2(password, salt), each chunk of B = ROMix(chunk),
//   output = PBKDF2(password, B),
// ending with the work areas zeroed.  It returns what went wrong and reports
// to nobody: each entry point maps the status to its own answer.
// Private to the library; declared here so that the tests can observe it.
#ifndef SCRYPT_VORNIK_DERIVE_H
#define SCRYPT_VORNIK_DERIVE_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"
#include "mix/mix.h"

SCRYPT_PRIVATE_BEGIN

// One heap allocation: `raw` as the allocator returned it (the pointer that
// is released), `aligned` rounded up to the next multiple of 64 (the pointer
// worked through).  Every request carries 63 extra bytes for the rounding.
typedef struct aligned_buffer {
    void *raw;
    uint8_t *aligned;
} aligned_buffer;

// The two work buffers of a derivation and the parameters they are sized
// for.  All zero while nothing is held; both are held or neither.
typedef struct work_buffers {
    aligned_buffer YX;  // Y (one chunk), p chunks of B, lane_chunks chunks
    aligned_buffer V;   // `tables` tables of N chunks each
    uint64_t N;         // 0 while nothing is held
    uint32_t r, p;
    // 1 and 0 for a single derivation; a batch (batch.h) may hold more
    // tables and the lane forms' work area.
    uint32_t tables, lane_chunks;
} work_buffers;

// What a derivation found.  Parameters are checked in this order.
typedef enum derive_status {
    DERIVE_OK = 0,
    DERIVE_BAD_N,       // N not a power of two, below 2 or above 2^31
    DERIVE_BAD_R,       // r is 0
    DERIVE_BAD_P,       // p is 0, or r * p is 2^30 or more
    DERIVE_BAD_LENGTH,  // out_len above (2^32 - 1) * 32
    DERIVE_NO_MEMORY,   // a work buffer could not be allocated
    DERIVE_OVER_LIMIT,  // a batch's memory allowance has no room for a table
    DERIVE_BAD_JOBS,    // a batch of jobs at a null pointer, or more than fit in memory
    DERIVE_OVERLAP,     // a batch job's output overlaps another job's
                        // password, salt or output, or the jobs
} derive_status;

// The parameter checks, in the order above (out_len last).
derive_status scrypt_check_parameters(uint64_t N, uint32_t r, uint32_t p, size_t out_len);

// Makes `work` hold `tables` tables of N chunks, Y, p chunks of B and
// lane_chunks more chunks, reusing its buffers when they are sized for
// exactly these; otherwise releasing them, table first, and allocating both
// anew, table first.  False when they cannot be had, and then `work` holds
// nothing.  `work` holds the old buffers or nothing until the old ones are
// taken out of it, and nothing or the new ones after (see
// scrypt_exchange_work()).
bool scrypt_fit_work(work_buffers *work, uint64_t N, uint32_t r, uint32_t p, uint32_t tables,
                     uint32_t lane_chunks);

// Every derivation ends by zeroing both work areas.  Constant in the
// library; the test-only build (SCRYPT_TEST_SEAMS) may turn the wipe off, to
// show that a probe finds what the wipe removes and to measure its cost.
extern SCRYPT_SEAM_CONST bool scrypt_wipe_work_buffers;

// Checks the parameters, makes `work` fit them (reusing its buffers when
// they are sized for exactly these N, r and p; otherwise releasing them,
// table first, and allocating both anew, table first), derives the key into
// `out` with `romix` and zeroes both work areas.  On any failure nothing is
// written to `out`; after a failed allocation `work` holds nothing.
derive_status scrypt_derive_in(work_buffers *work, const uint8_t *password, size_t password_len,
                               const uint8_t *salt, size_t salt_len, uint64_t N, uint32_t r,
                               uint32_t p, uint8_t *out, size_t out_len, romix_function romix);

// Releases both buffers (table first) and leaves `work` holding nothing.
void scrypt_release_work(work_buffers *work);

// Gives `work` what `with` holds and `with` what `work` held, in one step as
// far as fork() is concerned: for the buffers that the registry's after-fork
// handler may release in a child (cache.h), under the registry's mutex, so
// that a fork finds them either as they were or as they are now, never
// released but still recorded.  Every change to a set of buffers goes
// through it, and nothing is allocated or released under the mutex.
// Defined with the registry, in cache.cpp.
void scrypt_exchange_work(work_buffers *work, work_buffers *with);

SCRYPT_PRIVATE_END

#endif
