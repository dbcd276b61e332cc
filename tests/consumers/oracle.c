/*
 * scrypt-oracle PASSWORD SALT NFACTOR RFACTOR PFACTOR LENGTH
 * scrypt-oracle -n PASSWORD SALT N R P LENGTH
 *
 * Prints scrypt(PASSWORD, SALT) as LENGTH bytes of lowercase hexadecimal,
 * computed by OpenSSL's libcrypto: with the library's factors
 * (N = 2^(NFACTOR + 1), r = 2^RFACTOR, p = 2^PFACTOR), or with -n with N, r
 * and p themselves.  The consumer, example and cross-build tests compare the
 * library's output with this independent implementation.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/openssl_scrypt.h"

int main(int argc, char **argv) {
    const int numbers = argc == 8 && strcmp(argv[1], "-n") == 0;
    if (argc != 7 && !numbers) {
        fprintf(stderr,
                "usage: %s PASSWORD SALT NFACTOR RFACTOR PFACTOR LENGTH\n"
                "       %s -n PASSWORD SALT N R P LENGTH\n",
                argv[0], argv[0]);
        return 2;
    }
    char **arg = argv + 1 + numbers;
    const char *password = arg[0], *salt = arg[1];
    const unsigned long long a = strtoull(arg[2], NULL, 10), b = strtoull(arg[3], NULL, 10),
                             c = strtoull(arg[4], NULL, 10);
    const size_t length = strtoull(arg[5], NULL, 10);
    unsigned char *key = malloc(length ? length : 1);
    if (key == NULL) return 1;
    const int ok = numbers
                       ? openssl_scrypt_nrp_into(password, strlen(password), salt, strlen(salt), a,
                                                 b, c, key, length)
                       : openssl_scrypt_into(password, strlen(password), salt, strlen(salt),
                                             (unsigned)a, (unsigned)b, (unsigned)c, key, length);
    if (!ok) {
        fprintf(stderr, "%s: EVP_PBE_scrypt failed\n", argv[0]);
        return 1;
    }
    for (size_t i = 0; i < length; i++) printf("%02x", key[i]);
    putchar('\n');
    free(key);
    return 0;
}
