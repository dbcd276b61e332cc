/* A plain C host: compiled and linked with the C compiler alone, against the
 * shipped archive.  Derives RFC 7914's second test vector and compares it
 * with OpenSSL's result. */
#include <stdio.h>
#include <string.h>

#include "scrypt-vornik.h"
#include "support/openssl_scrypt.h"

int main(void) {
    unsigned char mine[64], theirs[64];
    scrypt((const uint8_t *)"password", 8, (const uint8_t *)"NaCl", 4, 9, 3, 4, mine, sizeof mine);
    if (!openssl_scrypt_into("password", 8, "NaCl", 4, 9, 3, 4, theirs, sizeof theirs)) {
        fprintf(stderr, "openssl refused the parameters\n");
        return 2;
    }
    if (memcmp(mine, theirs, sizeof mine) != 0) {
        fprintf(stderr, "derived key differs from OpenSSL's\n");
        return 1;
    }
    puts("c host: key matches");
    return 0;
}
