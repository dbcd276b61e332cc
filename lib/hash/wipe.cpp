// The zero fill for secrets about to go dead, from a few bytes of a hash
// context to the gigabyte tables of a derivation, and the copy for secrets.
#include <string.h>

#include "hash.h"

#if SCRYPT_X86_64
#include <emmintrin.h>
#endif

namespace {

#if SCRYPT_X86_64
// Zeroes the 64-byte lines of [p, p + len) with non-temporal stores (SSE2,
// baseline on x86-64) and the ragged ends with ordinary ones.
//
// Used from SCRYPT_WIPE_STREAMING_BYTES on.  A buffer that large has largely
// left the caches by the time it is wiped (ROMix ends with random reads all
// over its table), so ordinary stores would first fetch every line from
// memory only to overwrite it; streaming stores write whole lines without
// reading them, and leave the rest of the host's data in the caches.  Smaller
// buffers are still mostly cached, and ordinary stores are cheaper there.
void stream_zero(uint8_t *p, size_t len) {
    const uintptr_t start = ((uintptr_t)p + 63) & ~(uintptr_t)63;
    const uintptr_t end = ((uintptr_t)p + len) & ~(uintptr_t)63;
    memset(p, 0, start - (uintptr_t)p);
    const __m128i zero = _mm_setzero_si128();
    for (__m128i *q = (__m128i *)start; (uintptr_t)q != end; q += 4) {
        _mm_stream_si128(q, zero);
        _mm_stream_si128(q + 1, zero);
        _mm_stream_si128(q + 2, zero);
        _mm_stream_si128(q + 3, zero);
    }
    // Streaming stores are weakly ordered: the fence puts them before every
    // later store, the one that hands the memory to someone else included.
    _mm_sfence();
    memset((uint8_t *)end, 0, (uintptr_t)p + len - end);
}
#endif

}  // namespace

extern "C" void scrypt_wipe(void *p, size_t len) {
    if (len == 0) return;
#if SCRYPT_X86_64
    if (len >= SCRYPT_WIPE_STREAMING_BYTES)
        stream_zero((uint8_t *)p, len);
    else
#endif
        memset(p, 0, len);
    // The empty asm statement claims to read the memory behind `p`, so the
    // compiler must assume the zeros are observed and cannot drop the fill as
    // a dead store, even when the object dies right after this call (and
    // should a build ever inline this function into its caller).
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

extern "C" {

SCRYPT_SEAM_CONST bool scrypt_clear_call_traces = true;

void scrypt_copy(void *to, const void *from, size_t len) {
#ifdef SCRYPT_TEST_SEAMS
    if (!scrypt_clear_call_traces) {
        memcpy(to, from, len);
        return;
    }
#endif
    uint8_t *t = (uint8_t *)to;
    const uint8_t *f = (const uint8_t *)from;
    // Eight bytes at a time, then the rest.  The empty asm statements hide
    // the loops' shape from the optimiser, which would otherwise recognise a
    // copy and call memcpy (or widen it into vector registers).
    for (; len >= 8; len -= 8, t += 8, f += 8) {
        uint64_t w;
        __builtin_memcpy(&w, f, 8);
        __asm__("" : "+r"(w));
        __builtin_memcpy(t, &w, 8);
    }
    for (; len > 0; len--) {
        uint8_t b = *f++;
        __asm__("" : "+r"(b));
        *t++ = b;
    }
}

}  // extern "C"
