// What every entry point does first and last, whatever else it does:
// cancellation is held off for the whole call, and the call ends by clearing
// what it leaves behind outside its buffers.
//
//   scrypt_call call;
//   scrypt_call_begin(&call);
//   ... the call's work ...
//   scrypt_call_end(&call);   // nothing may follow but the return
#ifndef SCRYPT_VORNIK_CALL_H
#define SCRYPT_VORNIK_CALL_H

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

// The calling thread's cancellation state and type as the host had them.
typedef struct scrypt_call {
    int cancel_state, cancel_type;
} scrypt_call;

// Disables cancellation (and makes it deferred) for the call, so that no
// call is cancelled half-way, and records how the host had it.
void scrypt_call_begin(scrypt_call *call);

// Gives the calling thread the cancellation state and type that the host had
// when the outermost call on this thread began, for the time the fatal-error
// handler runs (see scrypt_report()): a handler that leaves by longjmp or by
// an exception then leaves the thread as the host had it, and one that
// returns hands back to scrypt_call_resume().  `saved` keeps the record for
// scrypt_call_resume(), since calls that the handler makes record their own.
void scrypt_call_suspend(scrypt_call *saved);
// Holds off cancellation again after a handler has returned.
void scrypt_call_resume(const scrypt_call *saved);

// Whether the host had cancellation enabled when the call began: only then
// may the call's wait for its turn be cancelled (see scrypt_lock_entry()).
bool scrypt_call_cancellable(const scrypt_call *call);

// Zeroes the SCRYPT_CALL_STACK_BYTES of stack below the caller's frame (or
// what the thread's stack holds of them, where it ends sooner), the most any
// call's frames reach (a first call's included, whose lazily bound
// symbols have the dynamic linker save every register down there), then
// every register that baseline code can clear (on x86-64 xmm0-15 and the
// general-purpose registers a callee may change), and gives the host its
// cancellation state back; a cancellation that arrived meanwhile takes
// effect from here on.  Registers beyond those (the upper halves, AVX-512's)
// never carry a secret: the library's baseline code does not use them, and
// a form built for them clears them itself.
void scrypt_call_end(const scrypt_call *call);

// Well beyond the depth measured by tests/hardening (residue_seams_test): a
// first call, with the self-test and the lazy binding of the C library's
// symbols, reaches about 4 KiB below the entry point, a later call 2 KiB; a
// batch's first call, under AddressSanitizer's larger frames, about 16 KiB.
// Zeroing 32 KiB costs about a microsecond.
enum { SCRYPT_CALL_STACK_BYTES = 32768 };

SCRYPT_PRIVATE_END

#endif
