/*
 * scrypt-oracle PASSWORD SALT NFACTOR RFACTOR PFACTOR LENGTH: prints
 * scrypt(PASSWORD, SALT) with the library's factors (N = 2^(NFACTOR + 1),
 * r = 2^RFACTOR, p = 2^PFACTOR) as LENGTH bytes of lowercase hexadecimal,
 * computed by OpenSSL's libcrypto.  The consumer and cross-build tests
 * compare the library's output with this independent implementation.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/openssl_scrypt.h"

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s PASSWORD SALT NFACTOR RFACTOR PFACTOR LENGTH\n", argv[0]);
        return 2;
    }
    const char *password = argv[1], *salt = argv[2];
    const size_t length = strtoull(argv[6], NULL, 10);
    unsigned char *key = malloc(length ? length : 1);
    if (key == NULL) return 1;
    if (!openssl_scrypt_into(password, strlen(password), salt, strlen(salt),
                             (unsigned)strtoul(argv[3], NULL, 10),
                             (unsigned)strtoul(argv[4], NULL, 10),
                             (unsigned)strtoul(argv[5], NULL, 10), key, length)) {
        fprintf(stderr, "%s: EVP_PBE_scrypt failed\n", argv[0]);
        return 1;
    }
    for (size_t i = 0; i < length; i++) printf("%02x", key[i]);
    putchar('\n');
    free(key);
    return 0;
}
