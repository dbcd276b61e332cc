/* A shared object that links the archive, for the unload test: it exports
 * only these two functions, which derive with the fixed password "unload"
 * and salt "salt" through either entry point. */
#include <scrypt-vornik.h>

__attribute__((visibility("default"))) int module_derive_key(uint64_t N, uint32_t r, uint32_t p,
                                                             uint8_t *out, size_t out_len) {
    return scrypt_derive_key((const uint8_t *)"unload", 6, (const uint8_t *)"salt", 4, N, r, p, out,
                             out_len);
}

__attribute__((visibility("default"))) void module_scrypt(uint8_t Nfactor, uint8_t rfactor,
                                                          uint8_t pfactor, uint8_t *out,
                                                          size_t out_len) {
    scrypt((const uint8_t *)"unload", 6, (const uint8_t *)"salt", 4, Nfactor, rfactor, pfactor, out,
           out_len);
}
