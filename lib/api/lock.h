// The one process-wide lock that serialises the library: scrypt() holds it
// for its whole call, scrypt_set_fatal_error() while it swaps the handler.
// It is released around every call of the handler (see scrypt_report()), at
// points where the library's state is consistent, so that a handler may
// return, exit, jump away, throw, or call the library itself, and other
// threads may call meanwhile.
#ifndef SCRYPT_VORNIK_LOCK_H
#define SCRYPT_VORNIK_LOCK_H

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

void scrypt_lock(void);
void scrypt_unlock(void);
// Whether the calling thread holds the lock.  The library's own internals
// also run without it (the tests and the benchmark call them directly).
bool scrypt_lock_held(void);

SCRYPT_PRIVATE_END

#endif
