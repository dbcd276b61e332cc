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

// Compresses `blocks` (>= 1) whole 64-byte blocks into ctx->H.
void sha256_blocks(hash_context *ctx, const uint8_t *data, uint64_t blocks);

void scrypt_hash_init(hash_context *ctx);
void scrypt_hash_update(hash_context *ctx, const uint8_t *data, size_t len);
// Writes the digest; the context is spent afterwards and must be initialised
// again before reuse.
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
// the hash layer's temporaries and the derivation's work buffers.  On x86-64
// a fill of SCRYPT_WIPE_STREAMING_BYTES or more bypasses the caches.
void scrypt_wipe(void *p, size_t len);
enum { SCRYPT_WIPE_STREAMING_BYTES = 16 << 20 };

SCRYPT_PRIVATE_END

#endif
