// SHA-256, HMAC-SHA-256 and single-iteration PBKDF2-HMAC-SHA-256.
//
// The layer keeps no state and never allocates: every computation lives in a
// context that the caller holds.  Contexts are plain records, so a copy made
// by value is an independent computation (PBKDF2 forks its keyed state this
// way).  Nothing here validates lengths or reports failures.
#ifndef SCRYPT_VORNIK_HASH_H
#define SCRYPT_VORNIK_HASH_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

typedef struct hash_context {
    uint32_t H[8];       // chaining words H0..H7
    uint64_t bit_count;  // message bits already folded into H
    uint32_t leftover;   // bytes waiting in buffer (0..63 between calls)
    uint8_t buffer[64];  // partial block
} hash_context;

typedef struct hmac_context {
    hash_context inner;  // keyed with key block ^ 0x36
    hash_context outer;  // keyed with key block ^ 0x5c
} hmac_context;

enum { SCRYPT_HASH_DIGEST_BYTES = 32, SCRYPT_HASH_BLOCK_BYTES = 64 };

// Compresses `blocks` (>= 1) whole 64-byte blocks into ctx->H, with the
// processor's SHA-256 instructions where it has them.
void sha256_blocks(hash_context *ctx, const uint8_t *data, uint64_t blocks);

// The two forms of the compression, on the chaining words alone: portable
// code, and the SHA extensions of x86-64 (only where detect_cpu() reports
// FEATURE_SHA).  Both give the same words.
void sha256_blocks_portable(uint32_t H[8], const uint8_t *data, uint64_t blocks);
#if SCRYPT_X86_64
void sha256_blocks_shani(uint32_t H[8], const uint8_t *data, uint64_t blocks);
#endif
extern const uint32_t scrypt_sha256_constants[64];

void scrypt_hash_init(hash_context *ctx);
void scrypt_hash_update(hash_context *ctx, const uint8_t *data, size_t len);
// Writes the digest and wipes the context, which must be initialised again
// before reuse.
void scrypt_hash_finish(hash_context *ctx, uint8_t out[32]);
void scrypt_hash(uint8_t out[32], const uint8_t *data, size_t len);

void scrypt_hmac_init(hmac_context *ctx, const uint8_t *key, size_t key_len);
void scrypt_hmac_update(hmac_context *ctx, const uint8_t *data, size_t len);
// Writes the MAC and leaves the whole context zero.
void scrypt_hmac_finish(hmac_context *ctx, uint8_t out[32]);

// PBKDF2-HMAC-SHA-256 with an iteration count of 1.  Writes exactly out_len
// bytes; out_len must not exceed (2^32 - 1) * 32.
void scrypt_pbkdf2(const uint8_t *password, size_t password_len, const uint8_t *salt,
                   size_t salt_len, uint8_t *out, size_t out_len);

// Zero fill that the optimiser cannot drop, for secrets about to go dead:
// the hash layer's temporaries, the derivation's work buffers and the stack
// a call leaves behind.  On x86-64 a fill of SCRYPT_WIPE_STREAMING_BYTES or
// more bypasses the caches.
void scrypt_wipe(void *p, size_t len);
enum { SCRYPT_WIPE_STREAMING_BYTES = 16 << 20 };

// Copies len bytes (the regions must not overlap) through general-purpose
// registers only, for secrets: the C library's memcpy picks the widest
// vector registers the processor has (AVX-512's among them), and what it
// moved stays there, out of reach of the library's baseline code, until
// something spills it into memory.  For the hash layer's few bytes at a time.
void scrypt_copy(void *to, const void *from, size_t len);

// Whether calls clear what they leave behind outside the work buffers: the
// hash layer's wipes of its contexts, key blocks and digests, the copies
// above (with it off, memcpy's), and the stack and register clearing at the
// end of every call.  Constant in the library; the test-only build
// (SCRYPT_TEST_SEAMS) may switch it off, to show that the probes find each
// trace that the clearing removes.
extern SCRYPT_SEAM_CONST bool scrypt_clear_call_traces;

SCRYPT_PRIVATE_END

#endif
