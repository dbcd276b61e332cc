// The password-string entry points: scrypt_hash_password,
// scrypt_verify_password and scrypt_password_needs_rehash.
#include "api/call.h"
#include "api/derive_key.h"
#include "hash/hash.h"
#include "passwd/encoding.h"
#include "passwd/random.h"
#include "scrypt-vornik.h"
#include "selftest/selftest.h"

namespace {

static_assert(scrypt_password7_length(SCRYPT_PASSWORD_SALT_CHARS) + 1 == SCRYPT_PASSWORD_STRBYTES);
static_assert(SCRYPT_PASSWORD_SALT_CHARS == (SCRYPT_PASSWORD_SALT_BYTES * 4 + 2) / 3);

// What max_memory 0 stands for: libsodium's largest preset, N = 2^20 and
// r = 8, has a table of exactly this size.
constexpr uint64_t default_max_memory = uint64_t(1) << 30;

// The parameters scrypt_hash_password takes: those of scrypt_derive_key,
// with N at least 4, the smallest crypt(3) accepts.
bool hash_parameters(uint64_t N, uint32_t r, uint32_t p) {
    return N >= 4 && N <= (uint64_t(1) << 31) && (N & (N - 1)) == 0 && r != 0 && p != 0 &&
           uint64_t(r) * p < (uint64_t(1) << 30);
}

uint32_t log2_of(uint64_t N) {
    return uint32_t(__builtin_ctzll(N));
}

// SCRYPT_OK when a derivation with the string's parameters stays within
// max_memory: table N * 128 * r at most max_memory, work N * r * p at most
// max_memory / 128; and N within what the library derives.  The parser has
// already bounded r * p below 2^30.
int within_limit(const password_string &s, uint64_t max_memory) {
    const uint64_t limit = max_memory != 0 ? max_memory : default_max_memory;
    if (s.log2_N > 31) return SCRYPT_ERR_LIMIT;
    const uint64_t N = uint64_t(1) << s.log2_N;
    uint64_t table;  // up to 2^31 * 128 * (2^30 - 1): may exceed 64 bits
    if (__builtin_mul_overflow(N, uint64_t(128) * s.r, &table) || table > limit)
        return SCRYPT_ERR_LIMIT;
    const uint64_t work = N * (uint64_t(s.r) * s.p);  // below 2^61
    if (work > limit / 128) return SCRYPT_ERR_LIMIT;
    return SCRYPT_OK;
}

int hash_password(char *out, size_t out_size, const uint8_t *password, size_t password_len,
                  uint64_t N, uint32_t r, uint32_t p) {
    if (out != nullptr && out_size != 0) out[0] = '\0';
    if (!hash_parameters(N, r, p) || (password == nullptr && password_len != 0))
        return SCRYPT_ERR_PARAMETER;
    if (out == nullptr || out_size < SCRYPT_PASSWORD_STRBYTES) return SCRYPT_ERR_BUFFER;

    uint8_t salt_bytes[SCRYPT_PASSWORD_SALT_BYTES];
    if (!scrypt_random_bytes(salt_bytes, sizeof salt_bytes)) return SCRYPT_ERR_RANDOM;
    // The salt is the encoded text, as libsodium and crypt(3) use it.
    char salt[SCRYPT_PASSWORD_SALT_CHARS];
    scrypt_encode64_7(salt, salt_bytes, sizeof salt_bytes);

    uint8_t key[SCRYPT_PASSWORD_KEY_BYTES];
    const int status = scrypt_derive_key_in_call(password, password_len, (const uint8_t *)salt,
                                                 sizeof salt, N, r, p, key, sizeof key);
    if (status == SCRYPT_OK) scrypt_format_password7(out, log2_of(N), r, p, salt, sizeof salt, key);
    scrypt_wipe(key, sizeof key);
    return status;
}

int verify_password(const char *stored, const uint8_t *password, size_t password_len,
                    uint64_t max_memory) {
    if (password == nullptr && password_len != 0) return SCRYPT_ERR_PARAMETER;
    password_string s;
    if (!scrypt_parse_password(stored, &s)) return SCRYPT_ERR_FORMAT;
    int status = within_limit(s, max_memory);
    if (status != SCRYPT_OK) return status;

    uint8_t key[SCRYPT_PASSWORD_KEY_BYTES];
    status = scrypt_derive_key_in_call(password, password_len, s.salt, s.salt_len,
                                       uint64_t(1) << s.log2_N, s.r, s.p, key, sizeof key);
    if (status == SCRYPT_OK && !scrypt_equal_ct(key, s.key, sizeof key))
        status = SCRYPT_ERR_MISMATCH;
    scrypt_wipe(key, sizeof key);
    return status;
}

int needs_rehash(const char *stored, uint64_t N, uint32_t r, uint32_t p) {
    if (!hash_parameters(N, r, p)) return SCRYPT_ERR_PARAMETER;
    password_string s;
    if (!scrypt_parse_password(stored, &s)) return SCRYPT_ERR_FORMAT;
    return !(s.own_shape && s.log2_N == log2_of(N) && s.r == r && s.p == p);
}

}  // namespace

// Each entry point, as every one of the library's, holds off cancellation for
// the call and ends by clearing the stack below it and the registers, where
// the key (and, while it is read, the password) passed through.  The
// derivation runs inside that one call, as scrypt_derive_key()'s own does,
// so that a verification costs what the derivation does and no more.
extern "C" {

SCRYPT_VORNIK_API int scrypt_hash_password(char *out, size_t out_size, const uint8_t *password,
                                           size_t password_len, uint64_t N, uint32_t r,
                                           uint32_t p) {
    scrypt_call call;
    scrypt_call_begin(&call);
    const int status = hash_password(out, out_size, password, password_len, N, r, p);
    scrypt_call_end(&call);
    return status;
}

SCRYPT_VORNIK_API int scrypt_verify_password(const char *stored, const uint8_t *password,
                                             size_t password_len, uint64_t max_memory) {
    scrypt_call call;
    scrypt_call_begin(&call);
    const int status = verify_password(stored, password, password_len, max_memory);
    scrypt_call_end(&call);
    return status;
}

SCRYPT_VORNIK_API int scrypt_password_needs_rehash(const char *stored, uint64_t N, uint32_t r,
                                                   uint32_t p) {
    scrypt_call call;
    scrypt_call_begin(&call);
    const int status = needs_rehash(stored, N, r, p);
    scrypt_call_end(&call);
    return status;
}

}  // extern "C"
