/*
 * A C host of the installed library: prints the header's version, then the
 * 64-byte key of RFC 7914's second test vector (password "password", salt
 * "NaCl", N = 1024, r = 8, p = 16) in hexadecimal.
 */
#include <scrypt-vornik.h>
#include <stdio.h>

int main(void) {
    static const char password[] = "password", salt[] = "NaCl";
    uint8_t key[64];
    scrypt((const uint8_t *)password, sizeof password - 1, (const uint8_t *)salt, sizeof salt - 1,
           9, 3, 4, key, sizeof key);
    printf("scrypt-vornik %d.%d.%d %s\n", SCRYPT_VORNIK_VERSION_MAJOR, SCRYPT_VORNIK_VERSION_MINOR,
           SCRYPT_VORNIK_VERSION_PATCH, SCRYPT_VORNIK_VERSION_STRING);
    for (size_t i = 0; i < sizeof key; i++) printf("%02x", key[i]);
    putchar('\n');
    return 0;
}
