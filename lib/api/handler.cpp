#include "handler.h"

#include "lock.h"

#include <stdio.h>
#include <stdlib.h>

extern "C" {

fatal_error_handler scrypt_fatal_error = scrypt_fatal_error_default;

void scrypt_fatal_error_default(const char *message) {
    fprintf(stderr, "%s\n", message);
    exit(1);
}

// The handler runs with the lock released, so whatever it does (return,
// exit, longjmp, throw through the library, call scrypt() or
// scrypt_set_fatal_error() itself) leaves no lock held and other threads free
// to call.  Every report is made where the library's state is consistent:
// before anything is changed for the call, or after a failure has been
// cleaned up.  A caller that continues after the handler returns takes the
// lock again and must not rely on what it saw before (another thread may
// have called meanwhile).
void scrypt_report(const char *message) {
    const bool held = scrypt_lock_held();
    const fatal_error_handler handler = scrypt_fatal_error;
    if (held) scrypt_unlock();
    handler(message);
    if (held) scrypt_lock();
}

}  // extern "C"
