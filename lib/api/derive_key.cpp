// scrypt_derive_key() and scrypt_strerror(): the entry point with N, r and p
// as integers that returns a status.  It never calls the fatal-error handler
// and takes no lock of scrypt()'s: each thread derives in its own buffers,
// and calls from different threads run at the same time.
#include "derive_key.h"

#include "call.h"
#include "core/batch.h"
#include "core/cache.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "post.h"
#include "scrypt-vornik.h"

namespace {

int status_for(derive_status status) {
    switch (status) {
        case DERIVE_OK:
            return SCRYPT_OK;
        case DERIVE_BAD_N:
        case DERIVE_BAD_R:
        case DERIVE_BAD_P:
        case DERIVE_BAD_LENGTH:
            return SCRYPT_ERR_PARAMETER;
        case DERIVE_NO_MEMORY:
            return SCRYPT_ERR_MEMORY;
        case DERIVE_OVER_LIMIT:
            return SCRYPT_ERR_LIMIT;
        case DERIVE_BAD_JOBS:
        case DERIVE_OVERLAP:
            return SCRYPT_ERR_PARAMETER;
    }
    return SCRYPT_ERR_PARAMETER;
}

}  // namespace

extern "C" {

int scrypt_derive_key_in_call(const uint8_t *password, size_t password_len, const uint8_t *salt,
                              size_t salt_len, uint64_t N, uint32_t r, uint32_t p, uint8_t *out,
                              size_t out_len) {
    scrypt_entry_setup();
    const int status = scrypt_post_for_derive_key();
    if (status != SCRYPT_OK) return status;
    // Chosen after the self-test, which ranks the forms.  The features are
    // the process's, asked once (scrypt() alone asks on every call).
    const romix_function romix = scrypt_select_form(detect_cpu_once())->romix;
    return status_for(scrypt_derive_cached(scrypt_thread_cache(), password, password_len, salt,
                                           salt_len, N, r, p, out, out_len, romix));
}

int scrypt_derive_key(const uint8_t *password, size_t password_len, const uint8_t *salt,
                      size_t salt_len, uint64_t N, uint32_t r, uint32_t p, uint8_t *out,
                      size_t out_len) {
    // A call is never cancelled half-way, the wait for another thread's
    // self-test included: its buffers would stay marked in use and unwiped.
    scrypt_call call;
    scrypt_call_begin(&call);
    const int status =
        scrypt_derive_key_in_call(password, password_len, salt, salt_len, N, r, p, out, out_len);
    // Clears the stack and the registers that the call leaves behind.
    scrypt_call_end(&call);
    return status;
}

int scrypt_derive_keys(scrypt_job *jobs, size_t count, uint64_t N, uint32_t r, uint32_t p,
                       uint64_t max_memory) {
    // As scrypt_derive_key(): never cancelled half-way, in the calling
    // thread's buffers, after the self-test.
    scrypt_call call;
    scrypt_call_begin(&call);
    scrypt_entry_setup();
    int status = scrypt_post_for_derive_key();
    bool each_job_set = false;
    if (status == SCRYPT_OK) {
        const cpu_feature_flags flags = detect_cpu_once();
        const romix_function romix = scrypt_select_form(flags)->romix;
        work_cache *cache = scrypt_thread_cache();
        scrypt_cache_begin(cache);
        const derive_status s =
            scrypt_derive_batch_in(&cache->work, jobs, count, N, r, p, max_memory, romix, flags);
        scrypt_cache_end(cache);
        status = status_for(s);
        // Each job has its own status; the first failure in job order is
        // the call's.
        each_job_set = s == DERIVE_OK;
        for (size_t i = 0; each_job_set && status == SCRYPT_OK && i < count; i++)
            status = jobs[i].status;
    }
    // A failure that stopped every job is every job's, unless no array of
    // `count` jobs can exist (its size would pass the address space).
    if (!each_job_set && jobs != nullptr && count <= SIZE_MAX / sizeof *jobs)
        for (size_t i = 0; i < count; i++) jobs[i].status = status;
    // Clears the stack and the registers that the call leaves behind.
    scrypt_call_end(&call);
    return status;
}

const char *scrypt_strerror(int status) {
    switch (status) {
        case SCRYPT_OK:
            return "success";
        case SCRYPT_ERR_PARAMETER:
            return "invalid parameters (N, r, p or the output length)";
        case SCRYPT_ERR_MEMORY:
            return "out of memory";
        case SCRYPT_ERR_SELFTEST:
            return "the library failed its self-test";
        case SCRYPT_ERR_BUFFER:
            return "output buffer too small";
        case SCRYPT_ERR_RANDOM:
            return "no randomness available";
        case SCRYPT_ERR_MISMATCH:
            return "password does not match";
        case SCRYPT_ERR_FORMAT:
            return "string cannot be parsed";
        case SCRYPT_ERR_LIMIT:
            return "parameters exceed the caller's limit";
    }
    return "unknown status";
}

}  // extern "C"
