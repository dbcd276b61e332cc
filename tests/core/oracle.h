// Independent reference values from OpenSSL's libcrypto, and small helpers
// shared by the core tests.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "support/openssl_scrypt.h"

using bytes = std::vector<uint8_t>;

inline bytes openssl_sha256(const bytes &m) {
    bytes out(32);
    SHA256(m.data(), m.size(), out.data());
    return out;
}

inline bytes openssl_hmac(const bytes &key, const bytes &m) {
    bytes out(32);
    unsigned len = 32;
    static const uint8_t empty = 0;
    HMAC(EVP_sha256(), key.empty() ? &empty : key.data(), (int)key.size(),
         m.empty() ? &empty : m.data(), m.size(), out.data(), &len);
    return out;
}

inline bytes openssl_pbkdf2(const bytes &password, const bytes &salt, size_t len) {
    bytes out(len);
    if (len == 0) return out;
    PKCS5_PBKDF2_HMAC((const char *)password.data(), (int)password.size(), salt.data(),
                      (int)salt.size(), 1, EVP_sha256(), (int)len, out.data());
    return out;
}

inline bytes random_bytes(std::mt19937_64 &rng, size_t n) {
    bytes b(n);
    for (auto &x : b) x = (uint8_t)rng();
    return b;
}

inline bytes text(const char *s) {
    return bytes(s, s + std::char_traits<char>::length(s));
}
