#include "handler.h"

#include "call.h"
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
//
// The handler also runs with the thread's cancellation settings as the host
// had them, since a handler that jumps away or throws never comes back for
// the call to restore them; one that returns has them held off again.
void scrypt_report(const char *message) {
    const bool held = scrypt_lock_held();
    const fatal_error_handler handler = scrypt_fatal_error;
    if (held) scrypt_unlock();
    scrypt_call host;
    scrypt_call_suspend(&host);
    handler(message);
    scrypt_call_resume(&host);
    if (held) scrypt_lock();
}

}  // extern "C"
