// The one process-wide lock that serialises the library: scrypt() holds it
// for its whole call, scrypt_set_fatal_error() while it swaps the handler.
// It is released around every call of the handler (see scrypt_report()), at
// points where the library's state is consistent, so that a handler may
// return, exit, jump away, throw, or call the library itself, and other
// threads may call meanwhile.
//
// Callers are served in the order they came.  A call waiting for its turn
// may be cancelled, if the host had cancellation enabled (see
// scrypt_call_begin()): it then leaves the queue as if it had never come.
// fork() waits for its turn like a call and holds the lock across the fork,
// and the host's own fork handlers may call the library meanwhile, whether
// they were registered before or after the library's.
#ifndef SCRYPT_VORNIK_LOCK_H
#define SCRYPT_VORNIK_LOCK_H

#include "call.h"
#include "internal.h"

SCRYPT_PRIVATE_BEGIN

// Takes the lock at the start of an entry point, after scrypt_call_begin():
// the wait is cancellable exactly when the host had cancellation enabled.
void scrypt_lock_entry(const scrypt_call *call);
// Takes the lock again inside a call (after the handler): not cancellable.
void scrypt_lock(void);
void scrypt_unlock(void);
// Whether the calling thread holds the lock.  The library's own internals
// also run without it (the tests and the benchmark call them directly).
bool scrypt_lock_held(void);

SCRYPT_PRIVATE_END

#endif
