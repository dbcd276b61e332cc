// SHA-256 (FIPS 180-4), HMAC-SHA-256 (RFC 2104) and PBKDF2-HMAC-SHA-256 with
// one iteration (RFC 8018).
//
// Everything that passes through here may be password-equivalent: the key
// block (the password, or its digest) and its two pads, the midstates keyed
// with them, the message schedule of a keyed block, every inner digest.  So
// secrets are moved only by scrypt_copy (never by the C library's memcpy,
// which leaves what it moved in registers the library cannot clear), and
// every context, schedule, key block and digest is wiped by scrypt_wipe
// before the function holding it returns.
#include <string.h>

#include "dispatch/cpu.h"
#include "hash.h"

extern "C" const uint32_t scrypt_sha256_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

inline uint32_t rotr(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Wipes a secret temporary (switchable only in the test-only build).
inline void wipe_secret(void *p, size_t len) {
    if (scrypt_clear_call_traces) scrypt_wipe(p, len);
}

inline void store_be64(uint8_t *p, uint64_t v) {
    store_be32(p, (uint32_t)(v >> 32));
    store_be32(p + 4, (uint32_t)v);
}

}  // namespace

extern "C" {

void sha256_blocks_portable(uint32_t H[8], const uint8_t *data, uint64_t blocks) {
    uint32_t w[64];
    for (; blocks != 0; blocks--, data += 64) {
        for (int t = 0; t < 16; t++) w[t] = load_be32(data + 4 * t);
        for (int t = 16; t < 64; t++) {
            uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = H[0], b = H[1], c = H[2], d = H[3];
        uint32_t e = H[4], f = H[5], g = H[6], h = H[7];
        for (int t = 0; t < 64; t++) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                          scrypt_sha256_constants[t] + w[t];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        H[0] += a;
        H[1] += b;
        H[2] += c;
        H[3] += d;
        H[4] += e;
        H[5] += f;
        H[6] += g;
        H[7] += h;
    }
    // The schedule holds the block as big-endian words: for a keyed block,
    // the password XOR a pad.
    wipe_secret(w, sizeof w);
}

void sha256_blocks(hash_context *ctx, const uint8_t *data, uint64_t blocks) {
#if SCRYPT_X86_64
    if (detect_cpu_once() & FEATURE_SHA)
        sha256_blocks_shani(ctx->H, data, blocks);
    else
#endif
        sha256_blocks_portable(ctx->H, data, blocks);
    ctx->bit_count += 512 * blocks;
}

void scrypt_hash_init(hash_context *ctx) {
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    for (int i = 0; i < 8; i++) ctx->H[i] = initial[i];
    ctx->bit_count = 0;
    ctx->leftover = 0;
}

void scrypt_hash_update(hash_context *ctx, const uint8_t *data, size_t len) {
    if (len == 0) return;  // also keeps a null pointer away from the copies
    if (ctx->leftover > 0) {
        size_t room = 64 - ctx->leftover;
        size_t m = len < room ? len : room;
        scrypt_copy(ctx->buffer + ctx->leftover, data, m);
        ctx->leftover += (uint32_t)m;
        if (ctx->leftover < 64) return;
        sha256_blocks(ctx, ctx->buffer, 1);
        data += m;
        len -= m;
    }
    ctx->leftover = (uint32_t)(len % 64);
    // Whole blocks are compressed straight from the caller's memory.
    if (len >= 64) sha256_blocks(ctx, data, len / 64);
    if (ctx->leftover > 0) scrypt_copy(ctx->buffer, data + (len - ctx->leftover), ctx->leftover);
}

void scrypt_hash_finish(hash_context *ctx, uint8_t out[32]) {
    uint64_t bits = ctx->bit_count + 8 * (uint64_t)ctx->leftover;
    uint32_t used = ctx->leftover;
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        // No room for the length: pad this block out and start another.
        memset(ctx->buffer + used, 0, 64 - used);
        sha256_blocks(ctx, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    store_be64(ctx->buffer + 56, bits);
    sha256_blocks(ctx, ctx->buffer, 1);
    for (int i = 0; i < 8; i++) store_be32(out + 4 * i, ctx->H[i]);
    wipe_secret(ctx, sizeof *ctx);
}

void scrypt_hash(uint8_t out[32], const uint8_t *data, size_t len) {
    hash_context ctx;
    scrypt_hash_init(&ctx);
    scrypt_hash_update(&ctx, data, len);
    scrypt_hash_finish(&ctx, out);
}

void scrypt_hmac_init(hmac_context *ctx, const uint8_t *key, size_t key_len) {
    uint8_t block[64];
    scrypt_hash_init(&ctx->inner);
    scrypt_hash_init(&ctx->outer);
    memset(block, 0, sizeof block);
    if (key_len <= 64) {
        scrypt_copy(block, key, key_len);
    } else {
        scrypt_hash(block, key, key_len);
    }
    for (uint8_t &b : block) b ^= 0x36;
    scrypt_hash_update(&ctx->inner, block, sizeof block);
    for (uint8_t &b : block) b ^= 0x36 ^ 0x5c;
    scrypt_hash_update(&ctx->outer, block, sizeof block);
    wipe_secret(block, sizeof block);
}

void scrypt_hmac_update(hmac_context *ctx, const uint8_t *data, size_t len) {
    scrypt_hash_update(&ctx->inner, data, len);
}

void scrypt_hmac_finish(hmac_context *ctx, uint8_t out[32]) {
    uint8_t inner_digest[32];
    scrypt_hash_finish(&ctx->inner, inner_digest);
    scrypt_hash_update(&ctx->outer, inner_digest, sizeof inner_digest);
    scrypt_hash_finish(&ctx->outer, out);
    // Both halves were wiped as they finished; the inner digest, with the
    // key, checks a password guess at the cost of the outer hash.
    wipe_secret(inner_digest, sizeof inner_digest);
}

void scrypt_pbkdf2(const uint8_t *password, size_t password_len, const uint8_t *salt,
                   size_t salt_len, uint8_t *out, size_t out_len) {
    hmac_context keyed, salted, work;
    uint8_t block[32];
    uint8_t index[4];

    scrypt_hmac_init(&keyed, password, password_len);
    scrypt_copy(&salted, &keyed, sizeof salted);
    scrypt_hmac_update(&salted, salt, salt_len);

    // The block count is kept in 64 bits so that every length up to
    // (2^32 - 1) * 32 bytes is written in full; the index itself is the
    // 32-bit big-endian INT(i) of the standard.
    uint64_t blocks = ((uint64_t)out_len + 31) / 32;
    size_t remaining = out_len;
    for (uint64_t i = 1; i <= blocks; i++) {
        scrypt_copy(&work, &salted, sizeof work);
        store_be32(index, (uint32_t)i);
        scrypt_hmac_update(&work, index, sizeof index);
        scrypt_hmac_finish(&work, block);
        size_t take = remaining < 32 ? remaining : 32;
        scrypt_copy(out, block, take);
        out += take;
        remaining -= take;
    }

    wipe_secret(block, sizeof block);
    wipe_secret(&keyed, sizeof keyed);
    wipe_secret(&salted, sizeof salted);
}

}  // extern "C"
