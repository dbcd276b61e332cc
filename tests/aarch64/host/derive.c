/*
 * derive PASSWORD SALT NFACTOR RFACTOR PFACTOR LENGTH: prints the derived key
 * in hexadecimal.  The library's default handler ends the process with
 * status 1 if the first call's self-test fails.
 */
#include <scrypt-vornik.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s PASSWORD SALT NFACTOR RFACTOR PFACTOR LENGTH\n", argv[0]);
        return 2;
    }
    const size_t length = strtoul(argv[6], NULL, 10);
    uint8_t *key = malloc(length ? length : 1);
    if (key == NULL) return 2;
    scrypt((const uint8_t *)argv[1], strlen(argv[1]), (const uint8_t *)argv[2], strlen(argv[2]),
           (uint8_t)atoi(argv[3]), (uint8_t)atoi(argv[4]), (uint8_t)atoi(argv[5]), key, length);
    for (size_t i = 0; i < length; i++) printf("%02x", key[i]);
    putchar('\n');
    free(key);
    return 0;
}
