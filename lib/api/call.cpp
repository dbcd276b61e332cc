#include "call.h"

#include <pthread.h>
#include <stdint.h>
#include <unistd.h>

#include "hash/hash.h"

namespace {

// Room left under the scrubbed area, where a thread's stack ends closer than
// the usual area: for scrub_stack()'s own frame and the wipe it calls, the
// dynamic linker binding the wipe's symbol on a first call (it saves the
// whole vector state, 2.7 KiB with AVX-512), and the frame of a signal
// delivered meanwhile (as much again).  A call's own frames cannot have
// reached into it unless they came as close to the end of the stack.
enum { scrub_margin = 8192 };

// The calling thread's stack, looked up once per thread: lowest and highest
// address, or 0 and 0 where they are not known.  The main thread's stack
// grows on demand to its limit (megabytes), so it is never looked up; a
// thread a host made with a small stack (a language runtime's minimum, 16 or
// 32 KiB) may end within the usual area, and the scrub stops short of its
// end instead of running off it.
thread_local bool stack_looked_up = false;
thread_local uintptr_t stack_low = 0, stack_high = 0;

void look_up_stack() {
    stack_looked_up = true;
#if defined(__linux__) && defined(__GLIBC__)
    if (getpid() == gettid()) return;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void *addr;
    size_t size;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        stack_low = reinterpret_cast<uintptr_t>(addr);
        stack_high = stack_low + size;
    }
    pthread_attr_destroy(&attr);
#endif
}

// How much of the stack below `here` the scrub covers: the usual area, or
// as much of it as the thread's stack holds above the margin (the call's
// frames cannot have reached further), nothing when `here` is within the
// margin already.  A stack pointer outside the recorded stack (a host's
// coroutine on a stack of its own) gets the usual area.
size_t scrub_bytes(uintptr_t here) {
    if (!stack_looked_up) look_up_stack();
    if (here <= stack_low || here > stack_high) return SCRYPT_CALL_STACK_BYTES;
    if (here - stack_low <= scrub_margin) return 0;
    const size_t room = here - stack_low - scrub_margin;
    return room < size_t(SCRYPT_CALL_STACK_BYTES) ? room : size_t(SCRYPT_CALL_STACK_BYTES);
}

// Its own frame, one below scrypt_call_end()'s, whose caller is the entry
// point: the area starts right under the entry point's frame and covers the
// depth that the call's own frames used.
__attribute__((noinline)) void scrub_stack() {
    const size_t bytes = scrub_bytes(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    if (bytes == 0) return;
    unsigned char *area = static_cast<unsigned char *>(__builtin_alloca(bytes));
    scrypt_wipe(area, bytes);
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
