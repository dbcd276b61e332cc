#include "call.h"

#include <pthread.h>

#include "hash/hash.h"

namespace {

// Its own frame, one below scrypt_call_end()'s, whose caller is the entry
// point: the area starts right under the entry point's frame and covers the
// depth that the call's own frames used.
__attribute__((noinline)) void scrub_stack() {
    unsigned char area[SCRYPT_CALL_STACK_BYTES];
    scrypt_wipe(area, sizeof area);
}

// The host's settings as the innermost call running on this thread found
// them; plain values, so a call left by longjmp leaves nothing dangling.
thread_local int host_cancel_state = PTHREAD_CANCEL_ENABLE;
thread_local int host_cancel_type = PTHREAD_CANCEL_DEFERRED;

}  // namespace

extern "C" {

void scrypt_call_begin(scrypt_call *call) {
    // Disabled first: with asynchronous cancellation the request could
    // otherwise strike between the two changes.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &call->cancel_state);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &call->cancel_type);
    host_cancel_state = call->cancel_state;
    host_cancel_type = call->cancel_type;
}

void scrypt_call_suspend(scrypt_call *saved) {
    saved->cancel_state = host_cancel_state;
    saved->cancel_type = host_cancel_type;
    int ignored;
    pthread_setcanceltype(host_cancel_type, &ignored);
    pthread_setcancelstate(host_cancel_state, &ignored);
}

void scrypt_call_resume(const scrypt_call *saved) {
    host_cancel_state = saved->cancel_state;
    host_cancel_type = saved->cancel_type;
    int ignored;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &ignored);
}

bool scrypt_call_cancellable(const scrypt_call *call) {
    return call->cancel_state == PTHREAD_CANCEL_ENABLE;
}

void scrypt_call_end(const scrypt_call *call) {
    if (scrypt_clear_call_traces) {
        scrub_stack();
#if SCRYPT_X86_64
        // SSE2 only: legacy-encoded, so baseline code may contain it.
        __asm__ __volatile__(
            "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
            "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
            "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
            "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
            "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
            "pxor %%xmm15, %%xmm15\n\t"
            "xorl %%eax, %%eax\n\txorl %%ecx, %%ecx\n\txorl %%edx, %%edx\n\t"
            "xorl %%esi, %%esi\n\txorl %%edi, %%edi\n\txorl %%r8d, %%r8d\n\t"
            "xorl %%r9d, %%r9d\n\txorl %%r10d, %%r10d\n\txorl %%r11d, %%r11d"
            :
            :
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "rax", "rcx", "rdx", "rsi",
              "rdi", "r8", "r9", "r10", "r11", "cc", "memory");
#endif
    }
    // The type first, while cancellation is still disabled; then the state,
    // which under asynchronous cancellation acts on a pending request at
    // once, now that nothing of the call is left to do.
    int ignored;
    pthread_setcanceltype(call->cancel_type, &ignored);
    pthread_setcancelstate(call->cancel_state, &ignored);
}

}  // extern "C"
