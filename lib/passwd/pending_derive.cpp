// Stand-in scrypt_derive_key (portable mix, one thread, fresh buffers), so
// that the password functions can be tested before the real one lands.
#include <stdlib.h>

#include "hash/hash.h"
#include "mix/mix.h"
#include "passwd/pending_api.h"

#ifdef SCRYPT_PENDING_DERIVE_KEY
extern "C" int scrypt_derive_key(const uint8_t *password, size_t password_len, const uint8_t *salt,
                                 size_t salt_len, uint64_t N, uint32_t r, uint32_t p, uint8_t *out,
                                 size_t out_len) {
    if (N < 2 || (N & (N - 1)) != 0 || N > (uint64_t(1) << 31) || r == 0 || p == 0 ||
        uint64_t(r) * p >= (uint64_t(1) << 30))
        return SCRYPT_ERR_PARAMETER;
    const size_t chunk = size_t(128) * r;
    uint8_t *V = (uint8_t *)malloc(size_t(N) * chunk);
    uint8_t *B = (uint8_t *)malloc((size_t(p) + 1) * chunk);
    if (!V || !B) {
        free(V);
        free(B);
        return SCRYPT_ERR_MEMORY;
    }
    scrypt_pbkdf2(password, password_len, salt, salt_len, B + chunk, size_t(p) * chunk);
    for (size_t i = 0; i < p; i++)
        scrypt_ROMix_basic((uint32_t *)(B + chunk + i * chunk), (uint32_t *)B, (uint32_t *)V,
                           uint32_t(N), r);
    scrypt_pbkdf2(password, password_len, B + chunk, size_t(p) * chunk, out, out_len);
    scrypt_wipe(V, size_t(N) * chunk);
    scrypt_wipe(B, (size_t(p) + 1) * chunk);
    free(V);
    free(B);
    return SCRYPT_OK;
}

extern "C" const char *scrypt_strerror(int status) {
    static const char *const names[] = {"ok",     "parameter", "memory", "selftest", "buffer",
                                        "random", "mismatch",  "format", "limit"};
    return status <= 0 && status >= -8 ? names[-status] : "unknown";
}
#endif
