// The exported entry points.  Every call asks the processor which mixing
// forms it may run, runs the self-test if it is the first call of the
// process, and derives with the form chosen for it.
#include "driver.h"

#include "call.h"
#include "cpu.h"
#include "derive.h"
#include "handler.h"
#include "lock.h"
#include "mix/dispatch.h"
#include "selftest/selftest.h"

extern "C" {

int32_t power_on_self_test = 0;

void scrypt_set_fatal_error(fatal_error_handler handler) {
    scrypt_call call;
    scrypt_call_begin(&call);
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
    scrypt_lock_entry(&call);

    // The processor is asked afresh on every call.
    const cpu_feature_flags flags = detect_cpu();

    // The flag goes up before the self-test runs, so it runs once per
    // process whatever happens inside it.  The self-test ranks the forms, so
    // the form is chosen after it: the first call, too, runs the fastest
    // form, and never one that failed its known answer.
    if (power_on_self_test == 0) {
        power_on_self_test = 1;
        if (scrypt_power_on_self_test() == 0) scrypt_report("scrypt: power on self test failed");
    }

    // Chosen after the self-test, whose handler calls may have let other
    // calls run: the choice rests on the ranking as it stands now.
    scrypt_derive(password, password_len, salt, salt_len, Nfactor, rfactor, pfactor, out, out_len,
                  scrypt_select_form(flags)->romix);
    scrypt_unlock();
    // Clears the stack and the registers that the call leaves behind.
    scrypt_call_end(&call);
}

}  // extern "C"
