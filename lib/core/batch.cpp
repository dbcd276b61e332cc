#include "batch.h"

#include <stdlib.h>

#include "dispatch/dispatch.h"
#include "hash/hash.h"

namespace {

// One byte range of a batch: [start, end), non-empty, and the job it
// belongs to (`none` for the jobs array).
struct range {
    uintptr_t start, end;
    size_t job;
    bool output;
};
constexpr size_t none = SIZE_MAX;

int by_start(const void *a, const void *b) {
    const uintptr_t x = ((const range *)a)->start, y = ((const range *)b)->start;
    return x < y ? -1 : x > y;
}

void add(range *list, size_t &n, const void *p, size_t len, size_t job, bool output) {
    if (len == 0) return;
    const uintptr_t start = (uintptr_t)p;
    const uintptr_t end = start + len < start ? UINTPTR_MAX : start + len;
    list[n++] = range{start, end, job, output};
}

// Among the ranges swept so far, of one kind: the furthest end, and the
// furthest end of a job other than that one's, so that the furthest end of
// any job but a given one is at hand.
struct furthest {
    uintptr_t end = 0, other_end = 0;
    size_t job = none, other_job = none;
    void note(const range &x) {
        if (x.job == job && x.job != none) {
            if (x.end > end) end = x.end;
        } else if (x.end > end) {
            other_end = end;
            other_job = job;
            end = x.end;
            job = x.job;
        } else if (x.end > other_end) {
            other_end = x.end;
            other_job = x.job;
        }
    }
    // Whether a range of a job other than `j` (the jobs array counting as
    // nobody's) reaches beyond `at`.
    bool reaches(uintptr_t at, size_t j) const {
        if (job != j || j == none) return end > at;
        return other_end > at;
    }
};

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
    uint64_t chunks =
        count >= max_mix_lanes || p >= max_mix_lanes ? uint64_t(max_mix_lanes) : count * p;
    if (chunks > max_mix_lanes) chunks = max_mix_lanes;
    if (tables > chunks) tables = chunks;
    *shape = shape_with((uint32_t)tables, count, p);
    return true;
}

derive_status scrypt_check_batch_ranges(const scrypt_job *jobs, size_t count) {
    // Three ranges a job and one for the jobs array; on the stack for small
    // batches.
    enum { on_stack = 64 };
    range local[on_stack];
    if (count > (SIZE_MAX / sizeof(range) - 1) / 3) return DERIVE_NO_MEMORY;
    const size_t most = 3 * count + 1;
    range *list = most <= on_stack ? local : (range *)malloc(most * sizeof(range));
    if (list == nullptr) return DERIVE_NO_MEMORY;
    size_t n = 0;
    // The call writes every job's status: the array counts as an output.
    add(list, n, jobs, count * sizeof *jobs, none, true);
    for (size_t i = 0; i < count; i++) {
        const scrypt_job &j = jobs[i];
        add(list, n, j.password, j.password_len, i, false);
        add(list, n, j.salt, j.salt_len, i, false);
        // An output that is never written (its length is refused) is no
        // output.
        if (scrypt_check_parameters(2, 1, 1, j.out_len) == DERIVE_OK)
            add(list, n, j.out, j.out_len, i, true);
    }
    qsort(list, n, sizeof *list, by_start);
    // Sweeping by start: two ranges overlap when the later starts before
    // the earlier ends.  An output may overlap only its own job's inputs;
    // inputs may overlap each other.
    furthest outputs, inputs;
    derive_status status = DERIVE_OK;
    for (size_t k = 0; k < n && status == DERIVE_OK; k++) {
        const range &x = list[k];
        if (outputs.reaches(x.start, x.job) || (x.output && inputs.reaches(x.start, x.job)))
            status = DERIVE_OVERLAP;
        (x.output ? outputs : inputs).note(x);
    }
    if (list != local) free(list);
    return status;
}

derive_status scrypt_derive_batch_in(work_buffers *work, scrypt_job *jobs, size_t count, uint64_t N,
                                     uint32_t r, uint32_t p, uint64_t max_memory,
                                     romix_function single, cpu_feature_flags flags) {
    const derive_status status = scrypt_check_parameters(N, r, p, 0);
    if (status != DERIVE_OK) return status;
    if (count == 0) return DERIVE_OK;
    if (jobs == nullptr || count > SIZE_MAX / sizeof *jobs) return DERIVE_BAD_JOBS;
    const derive_status ranges = scrypt_check_batch_ranges(jobs, count);
    if (ranges != DERIVE_OK) return ranges;
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
