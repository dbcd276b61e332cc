// scrypt() and scrypt_set_fatal_error(): the entry points with the cost
// factors and the fatal-error handler.  Every scrypt() call asks the
// processor which mixing forms it may run, takes part in the self-test, and
// derives with the form chosen for it in the buffers that all scrypt() calls
// share, one call at a time.
#include "scrypt.h"

#include "call.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "lock.h"

namespace {

// The message of each failure of the derivation core.  The factors' own
// ranges are checked before the core sees them; within those ranges only an
// oversized product r * p (reported as p's) can exceed the core's bounds.
const char *message_for(derive_status status) {
    switch (status) {
        case DERIVE_OK:
            break;
        case DERIVE_BAD_N:
            return "scrypt: N out of range";
        case DERIVE_BAD_R:
            return "scrypt: r out of range";
        case DERIVE_BAD_P:
            return "scrypt: p out of range";
        case DERIVE_BAD_LENGTH:
            return "scrypt: output length out of range";
        case DERIVE_NO_MEMORY:
            return "scrypt: out of memory";
        case DERIVE_OVER_LIMIT:  // batches only
        case DERIVE_BAD_JOBS:
        case DERIVE_OVERLAP:
            break;
    }
    return nullptr;
}

// Checks the factors, each by itself in the order N, r, p, converts them and
// derives.  Every failure is reported (and the handler may return).
void derive(const uint8_t *password, size_t password_len, const uint8_t *salt, size_t salt_len,
            uint8_t Nfactor, uint8_t rfactor, uint8_t pfactor, uint8_t *out, size_t out_len,
            romix_function romix) {
    derive_status status;
    if (Nfactor > 30)
        status = DERIVE_BAD_N;
    else if (rfactor > 8)
        status = DERIVE_BAD_R;
    else if (pfactor > 25)
        status = DERIVE_BAD_P;
    else
        status = scrypt_derive_cached(&scrypt_shared_cache, password, password_len, salt, salt_len,
                                      uint64_t(2) << Nfactor, uint32_t(1) << rfactor,
                                      uint32_t(1) << pfactor, out, out_len, romix);
    if (status != DERIVE_OK) scrypt_report(message_for(status));
}

}  // namespace

extern "C" {

void scrypt_set_fatal_error(fatal_error_handler handler) {
    scrypt_call call;
    scrypt_call_begin(&call);
    scrypt_entry_setup();
    scrypt_lock_entry(&call);
    scrypt_fatal_error = handler ? handler : scrypt_fatal_error_default;
    scrypt_unlock();
    scrypt_call_end(&call);
}

void scrypt(const uint8_t *password, size_t password_len, const uint8_t *salt, size_t salt_len,
            uint8_t Nfactor, uint8_t rfactor, uint8_t pfactor, uint8_t *out, size_t out_len) {
    // Not cancellable once it has its turn; one call at a time, from
    // whichever thread; the lock is released only while the handler runs
    // (see scrypt_report()).
    scrypt_call call;
    scrypt_call_begin(&call);
    scrypt_entry_setup();
    scrypt_lock_entry(&call);

    // The processor is asked afresh on every call.
    const cpu_feature_flags flags = detect_cpu();

    // The first call of the process runs the self-test (see post.h).  The
    // self-test ranks the forms, so the form is chosen after it: the first
    // call, too, runs the fastest form, and never one that failed its known
    // answer.
    // Chosen after the self-test, whose handler calls may have let other
    // calls run: the choice rests on the ranking as it stands now.
    if (scrypt_post_for_scrypt())
        derive(password, password_len, salt, salt_len, Nfactor, rfactor, pfactor, out, out_len,
               scrypt_select_form(flags)->romix);
    scrypt_unlock();
    // Clears the stack and the registers that the call leaves behind.
    scrypt_call_end(&call);
}

}  // extern "C"
