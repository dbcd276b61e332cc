#include "batch.h"

#include "dispatch/dispatch.h"
#include "hash/hash.h"

namespace {

// The shape for `tables` tables.
batch_shape shape_with(uint32_t tables, uint64_t count, uint32_t p) {
    uint64_t wave = tables / p;
    if (wave == 0) wave = 1;
    if (wave > count) wave = count;
    return batch_shape{tables, (uint32_t)wave, (uint32_t)(wave * p),
                       tables > 1 ? 2 * max_mix_lanes : 0};
}

}  // namespace

extern "C" {

bool scrypt_batch_shape(uint64_t count, uint64_t N, uint32_t r, uint32_t p, uint64_t max_memory,
                        batch_shape *shape) {
    const unsigned __int128 table = (unsigned __int128)N * 128 * r;
    if (table > max_memory) return false;
    // No more tables than the allowance has room for, than chunks to mix,
    // or than the widest lane form mixes at once.
    uint64_t tables = (uint64_t)(max_memory / table);
    const uint64_t chunks =
        count >= max_mix_lanes || p >= max_mix_lanes ? uint64_t(max_mix_lanes) : count * p;
    if (tables > chunks) tables = chunks;
    *shape = shape_with((uint32_t)tables, count, p);
    return true;
}

derive_status scrypt_derive_batch_in(work_buffers *work, scrypt_job *jobs, size_t count, uint64_t N,
                                     uint32_t r, uint32_t p, uint64_t max_memory,
                                     romix_function single, cpu_feature_flags flags) {
    const derive_status status = scrypt_check_parameters(N, r, p, 0);
    if (status != DERIVE_OK) return status;
    if (count == 0) return DERIVE_OK;
    if (jobs == nullptr) return DERIVE_BAD_JOBS;
    batch_shape shape;
    if (!scrypt_batch_shape(count, N, r, p, max_memory, &shape)) return DERIVE_OVER_LIMIT;
    if (!scrypt_fit_work(work, N, r, shape.b_chunks, shape.tables, shape.lane_chunks))
        return DERIVE_NO_MEMORY;

    const size_t chunk = size_t(128) * r;
    const size_t table_words = (size_t)N * (chunk / 4);
    const size_t job_bytes = chunk * p;
    uint8_t *Y = work->YX.aligned;
    uint8_t *B = Y + chunk;
    uint32_t *lane_work = (uint32_t *)(B + chunk * shape.b_chunks);
    uint32_t *const V = (uint32_t *)work->V.aligned;

    // A job whose output cannot be made fails alone.
    for (size_t i = 0; i < count; i++)
        jobs[i].status = scrypt_check_parameters(N, r, p, jobs[i].out_len) == DERIVE_OK
                             ? SCRYPT_OK
                             : SCRYPT_ERR_PARAMETER;
    size_t next = 0;
    while (next < count) {
        // The next wave: up to wave_jobs jobs that can be derived.
        size_t wave[max_mix_lanes];
        unsigned n = 0;
        for (; next < count && n < shape.wave_jobs; next++)
            if (jobs[next].status == SCRYPT_OK) wave[n++] = next;
        if (n == 0) break;
        for (unsigned k = 0; k < n; k++) {
            const scrypt_job &j = jobs[wave[k]];
            scrypt_pbkdf2(j.password, j.password_len, j.salt, j.salt_len, B + k * job_bytes,
                          job_bytes);
        }
        // Their n * p chunks, as many at once as the plan says.
        const uint64_t chunks = (uint64_t)n * p;
        for (uint64_t c = 0; c < chunks;) {
            const uint64_t waiting = chunks - c < shape.tables ? chunks - c : shape.tables;
            const lane_plan plan = scrypt_plan_lanes(flags, waiting);
            if (plan.form == nullptr) {
                single((uint32_t *)(B + c * chunk), (uint32_t *)Y, V, (uint32_t)N, r);
                c++;
                continue;
            }
            uint32_t *x[max_mix_lanes], *v[max_mix_lanes];
            for (unsigned l = 0; l < plan.chunks; l++) {
                x[l] = (uint32_t *)(B + (c + l) * chunk);
                v[l] = V + l * table_words;
            }
            plan.form->romix(x, v, lane_work, plan.chunks, (uint32_t)N, r);
            c += plan.chunks;
        }
        for (unsigned k = 0; k < n; k++) {
            const scrypt_job &j = jobs[wave[k]];
            scrypt_pbkdf2(j.password, j.password_len, B + k * job_bytes, job_bytes, j.out,
                          j.out_len);
        }
    }
    // As after every derivation (see scrypt_derive_in()): nothing between
    // password and key stays in the buffers.
    if (scrypt_wipe_work_buffers) {
        scrypt_wipe(work->YX.aligned, chunk * (1 + (size_t)shape.b_chunks + shape.lane_chunks));
        scrypt_wipe(work->V.aligned, (size_t)shape.tables * table_words * 4);
    }
    return DERIVE_OK;
}

}  // extern "C"
