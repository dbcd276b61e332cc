/*
 * derive_key: derives a key with scrypt_derive_key(), the entry point that
 * takes N, r and p as numbers and returns a status, and checks it.
 *
 * It derives 32 bytes from the password "correct horse battery staple" and
 * the salt "per-user salt" with N = 16384, r = 10 and p = 3 (r and p need
 * not be powers of two; these are the kind of parameters a stored password
 * record may carry), prints the key in hex and says whether it equals the
 * key recorded below (exit status 1 if not).  It then shows what a refused
 * call returns: with p = 0 the call writes nothing and returns
 * SCRYPT_ERR_PARAMETER, which scrypt_strerror() turns into a text.
 */
#include <stdio.h>
#include <string.h>

#include "scrypt-vornik.h"

/* The key of these parameters, as OpenSSL's scrypt computes it. */
static const uint8_t recorded_key[32] = {
    0x88, 0xa6, 0xb6, 0x21, 0xaa, 0xdc, 0xea, 0x85, 0x88, 0x18, 0x5b, 0x6e, 0xce, 0x22, 0x27, 0x6a,
    0xbe, 0x2c, 0xff, 0x6a, 0xc9, 0x7e, 0xb7, 0x68, 0x14, 0xd0, 0x56, 0xe0, 0x4f, 0x0b, 0x8c, 0x00};

int main(void) {
    static const char password[] = "correct horse battery staple";
    static const char salt[] = "per-user salt";
    const uint64_t N = 16384;
    const uint32_t r = 10, p = 3;
    uint8_t key[32];

    int status = scrypt_derive_key((const uint8_t *)password, strlen(password),
                                   (const uint8_t *)salt, strlen(salt), N, r, p, key, sizeof key);
    if (status != SCRYPT_OK) {
        fprintf(stderr, "derive_key: %s\n", scrypt_strerror(status));
        return 1;
    }
    printf("N=%llu r=%u p=%u\nkey: ", (unsigned long long)N, (unsigned)r, (unsigned)p);
    for (size_t i = 0; i < sizeof key; i++) printf("%02x", key[i]);
    putchar('\n');

    /* Compare every byte, whatever the first difference. */
    unsigned char diff = 0;
    for (size_t i = 0; i < sizeof key; i++) diff |= key[i] ^ recorded_key[i];
    printf("check: %s\n", diff == 0 ? "the key equals the recorded one"
                                    : "FAILED, the key differs from the recorded one");

    /* A refused call: nothing is written, the status says why. */
    uint8_t untouched[32] = {0};
    status = scrypt_derive_key((const uint8_t *)password, strlen(password), (const uint8_t *)salt,
                               strlen(salt), N, r, 0, untouched, sizeof untouched);
    printf("p=0: status %d, %s\n", status, scrypt_strerror(status));
    return diff == 0 && status == SCRYPT_ERR_PARAMETER ? 0 : 1;
}
