/*
 * The test suite's reference scrypt: OpenSSL's EVP_PBE_scrypt, called with
 * N, r and p or with the library's factors (N = 2^(Nfactor + 1),
 * r = 2^rfactor, p = 2^pfactor).  Usable from C and C++; every test that
 * needs the expected key of a derivation takes it from here.
 */
#ifndef SCRYPT_VORNIK_TESTS_SUPPORT_OPENSSL_SCRYPT_H
#define SCRYPT_VORNIK_TESTS_SUPPORT_OPENSSL_SCRYPT_H

#include <openssl/evp.h>
#include <stddef.h>
#include <stdint.h>

/*
 * Writes out_len bytes of scrypt(password, salt, N, r, p) to out and returns
 * 1, or returns 0 when OpenSSL refuses the parameters (for instance
 * N >= 2^(16 r), which RFC 7914 forbids and the library accepts).  OpenSSL
 * may use exactly the memory the derivation needs, (N + 2) * 128 * r bytes
 * of table and p * 128 * r bytes of mixed buffer, and no more.  A length of
 * 0 succeeds with nothing written (OpenSSL itself refuses an empty key).
 */
static inline int openssl_scrypt_nrp_into(const void *password, size_t password_len,
                                          const void *salt, size_t salt_len, uint64_t N, uint64_t r,
                                          uint64_t p, uint8_t *out, size_t out_len) {
    if (N == 0 || r == 0 || p == 0 || r > ((uint64_t)1 << 40)) return 0;
    /* 2^63 bytes stand for "more than any allocation"; OpenSSL refuses it. */
    const uint64_t limit = (uint64_t)1 << 63;
    const uint64_t chunks = N > limit - 2 - p ? limit : N + 2 + p;
    const uint64_t maxmem = chunks > limit / (128 * r) ? limit : chunks * 128 * r;
    if (out_len == 0) return 1;
    return EVP_PBE_scrypt(password_len ? (const char *)password : "", password_len,
                          salt_len ? (const unsigned char *)salt : (const unsigned char *)"",
                          salt_len, N, r, p, maxmem, out, out_len) == 1;
}

/* The same with the library's factors: N = 2^(Nfactor + 1), r = 2^rfactor,
 * p = 2^pfactor. */
static inline int openssl_scrypt_into(const void *password, size_t password_len, const void *salt,
                                      size_t salt_len, unsigned Nfactor, unsigned rfactor,
                                      unsigned pfactor, uint8_t *out, size_t out_len) {
    if (Nfactor > 62 || rfactor > 31 || pfactor > 31) return 0;
    return openssl_scrypt_nrp_into(password, password_len, salt, salt_len,
                                   (uint64_t)1 << (Nfactor + 1), (uint64_t)1 << rfactor,
                                   (uint64_t)1 << pfactor, out, out_len);
}

#ifdef __cplusplus
#include <optional>
#include <string_view>
#include <vector>

/*
 * The key as a byte vector, or no value when OpenSSL refuses the parameters.
 * Compares directly with a derived key: got == openssl_scrypt(...) is false
 * when there is no reference key.
 */
inline std::optional<std::vector<uint8_t>> openssl_scrypt_nrp(std::string_view password,
                                                              std::string_view salt, uint64_t N,
                                                              uint64_t r, uint64_t p,
                                                              size_t out_len) {
    std::vector<uint8_t> key(out_len);
    if (!openssl_scrypt_nrp_into(password.data(), password.size(), salt.data(), salt.size(), N, r,
                                 p, key.data(), out_len))
        return std::nullopt;
    return key;
}

inline std::optional<std::vector<uint8_t>> openssl_scrypt(std::string_view password,
                                                          std::string_view salt, unsigned Nfactor,
                                                          unsigned rfactor, unsigned pfactor,
                                                          size_t out_len) {
    if (Nfactor > 62 || rfactor > 31 || pfactor > 31) return std::nullopt;
    return openssl_scrypt_nrp(password, salt, uint64_t(1) << (Nfactor + 1), uint64_t(1) << rfactor,
                              uint64_t(1) << pfactor, out_len);
}

inline std::optional<std::vector<uint8_t>> openssl_scrypt(const std::vector<uint8_t> &password,
                                                          const std::vector<uint8_t> &salt,
                                                          unsigned Nfactor, unsigned rfactor,
                                                          unsigned pfactor, size_t out_len) {
    return openssl_scrypt(std::string_view((const char *)password.data(), password.size()),
                          std::string_view((const char *)salt.data(), salt.size()), Nfactor,
                          rfactor, pfactor, out_len);
}
#endif

#endif
