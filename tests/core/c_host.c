/* A plain C host: compiled and linked with the C compiler alone, against the
 * shipped archive.  Derives RFC 7914's second test vector and compares it
 * with OpenSSL's result. */
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>

#include "scrypt-vornik.h"

int main(void) {
    unsigned char mine[64], theirs[64];
    scrypt((const uint8_t *)"password", 8, (const uint8_t *)"NaCl", 4, 9, 3, 4, mine, sizeof mine);
    if (EVP_PBE_scrypt("password", 8, (const unsigned char *)"NaCl", 4, 1024, 8, 16, 0, theirs,
                       sizeof theirs) != 1) {
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
