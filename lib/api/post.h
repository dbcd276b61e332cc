// The process's power-on self-test, shared by both entry points: whichever
// comes first runs it, once per process, whatever its outcome (unless it
// could not have memory, see below); concurrent
// first calls wait for it.
//
// Run by scrypt(), it works in scrypt()'s shared buffers and hands each
// failed part to the fatal-error handler as soon as the part has ended (and
// "power on self test failed" after the last, if every part failed).  Run by
// scrypt_derive_key(), it works in buffers of its own, released when it
// ends, and reports nothing; the reports it owes are made, once, by the next scrypt() call,
// exactly as if that call had run it.  A scrypt_derive_key() call returns
// SCRYPT_ERR_SELFTEST whenever any part has failed.
//
// Nothing waits for a handler: a part's failure is recorded before it is
// reported, and a scrypt_derive_key() call stops waiting as soon as one has
// failed; a scrypt() call never waits for a self-test that scrypt() runs (it
// can only get in while that one waits in the handler).
#ifndef SCRYPT_VORNIK_POST_H
#define SCRYPT_VORNIK_POST_H

#include <stdint.h>

#include "core/cache.h"
#include "internal.h"

SCRYPT_PRIVATE_BEGIN

// 0 until an entry point has started the self-test, then 1 for good.
extern int32_t power_on_self_test;

// Registers the fork handlers of the self-test's state and of the buffer
// registry, once.  Every entry point calls it first, before it takes the
// lock, so that these handlers run after the lock's before fork() (handlers
// run in the reverse order of their registration): the lock's waits for a
// call in progress, which may need this state on its way out.
void scrypt_entry_setup(void);

// A self-test whose derivation part could not have its buffers, with no
// part failed, is given up undecided: the call that ran it fails for want of
// memory, and the next call to come (from either entry point) starts it
// again.  A shortage of memory at the first call thus fails that call only.

// scrypt()'s part, with the lock held: starts the self-test if no entry
// point has, or else waits for one that scrypt_derive_key() is running and
// makes the reports that it owes.  Returns false when the call must not go
// on: the self-test it ran was undecided, and "scrypt: out of memory" has
// been reported.
bool scrypt_post_for_scrypt(void);

// scrypt_derive_key()'s part: starts the self-test if no entry point has, or
// else waits until it has ended or a part has failed.  Returns SCRYPT_OK when
// no part has failed, SCRYPT_ERR_SELFTEST when one has, and
// SCRYPT_ERR_MEMORY when the self-test it ran was undecided.
int scrypt_post_for_derive_key(void);

// Returned by scrypt_power_on_self_test() for an undecided self-test.
enum : uint32_t { POST_UNDECIDED = 0x80000000u };

// The self-test as scrypt() runs it: in scrypt()'s buffers, each failed part
// reported to the handler when it has ended.  Returns the pass bits
// (POST_ALL_PASSED when every part passed), or POST_UNDECIDED.
uint32_t scrypt_power_on_self_test(void);

SCRYPT_PRIVATE_END

#endif
