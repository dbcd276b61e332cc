/*
 * scrypt-oracle PASSWORD SALT N r p LENGTH: prints scrypt(PASSWORD, SALT, N,
 * r, p) as LENGTH bytes of lowercase hexadecimal, computed by OpenSSL's
 * libcrypto.  The consumer and cross-build tests compare the library's output
 * with this independent implementation.
 */
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s PASSWORD SALT N r p LENGTH\n", argv[0]);
        return 2;
    }
    const char *password = argv[1], *salt = argv[2];
    const uint64_t N = strtoull(argv[3], NULL, 10);
    const uint64_t r = strtoull(argv[4], NULL, 10);
    const uint64_t p = strtoull(argv[5], NULL, 10);
    const size_t length = strtoull(argv[6], NULL, 10);
    unsigned char *key = malloc(length ? length : 1);
    if (key == NULL) return 1;
    /* Room for the table and the mixed buffer, with some to spare. */
    const uint64_t maxmem = 2 * 128 * r * (N + p + 2);
    if (EVP_PBE_scrypt(password, strlen(password), (const unsigned char *)salt, strlen(salt), N, r,
                       p, maxmem, key, length) != 1) {
        fprintf(stderr, "%s: EVP_PBE_scrypt failed\n", argv[0]);
        return 1;
    }
    for (size_t i = 0; i < length; i++) printf("%02x", key[i]);
    putchar('\n');
    free(key);
    return 0;
}
