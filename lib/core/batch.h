// Many derivations of one N, r and p in one call: the chunks of every job
// are mixed side by side by the lane forms, as many at once as the caller's
// memory allowance has room for tables.  Private to the library; declared
// here so that the tests can observe the memory it plans.
#ifndef SCRYPT_VORNIK_BATCH_H
#define SCRYPT_VORNIK_BATCH_H

#include <stddef.h>
#include <stdint.h>

#include "derive.h"
#include "dispatch/cpu.h"
#include "internal.h"
#include "scrypt-vornik.h"

SCRYPT_PRIVATE_BEGIN

// How a batch uses its work buffers: `tables` tables of N chunks side by
// side in V; in YX the scratch chunk Y, the B chunks of `wave_jobs` jobs at
// a time (b_chunks = wave_jobs * p) and, with more than one table, the lane
// forms' work area of lane_chunks chunks.
typedef struct batch_shape {
    uint32_t tables, wave_jobs, b_chunks, lane_chunks;
} batch_shape;

// The shape with the most tables that `max_memory` bytes hold (at most
// max_mix_lanes, at most one per chunk of the batch).  False when not even
// one table fits.  The allowance bounds the tables; the rest of the work
// space, the B chunks of a wave, Y and the lane forms' work area, comes on
// top as it does for a single derivation.  Parameters as checked by the core.
bool scrypt_batch_shape(uint64_t count, uint64_t N, uint32_t r, uint32_t p, uint64_t max_memory,
                        batch_shape *shape);

// Whether the outputs of the jobs that will be written (those whose out_len
// the core accepts) overlap nothing but their own job's password and salt:
// no other job's password, salt or output, and not the jobs themselves.
// Empty ranges overlap nothing.  DERIVE_OK, DERIVE_OVERLAP, or
// DERIVE_NO_MEMORY when a large batch's scratch list could not be had.  In
// O(n log n) for n jobs.
derive_status scrypt_check_batch_ranges(const scrypt_job *jobs, size_t count);

// Derives every job in `work`, whose buffers it makes fit the shape, and
// zeroes the work areas at the end.  Sets each job's status (a SCRYPT_
// status); returns DERIVE_OK, or the failure that stopped every job before
// any was derived (the parameters, a null `jobs`, outputs that overlap what
// they must not, an allowance without room for one table, the buffers), in
// which case no job's status is set and nothing has been allocated but, for
// the buffers, what failed (or the scratch list of the overlap check).
derive_status scrypt_derive_batch_in(work_buffers *work, scrypt_job *jobs, size_t count, uint64_t N,
                                     uint32_t r, uint32_t p, uint64_t max_memory,
                                     romix_function single, cpu_feature_flags flags);

SCRYPT_PRIVATE_END

#endif
