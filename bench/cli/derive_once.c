/* derive_once N r p: one derivation with N, r, p in a new process (the
 * self-test first, as a program's first call has it), as a bare host makes
 * it.  Prints the self-test's and the derivation's time in seconds. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "scrypt-vornik.h"

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: derive_once N r p\n");
        return 2;
    }
    const uint64_t N = strtoull(argv[1], NULL, 10);
    const uint32_t r = (uint32_t)strtoul(argv[2], NULL, 10),
                   p = (uint32_t)strtoul(argv[3], NULL, 10);
    uint8_t key[32];
    const double t0 = now();
    int status = scrypt_derive_key(NULL, 0, NULL, 0, 2, 1, 1, NULL, 0);
    const double t1 = now();
    if (status == SCRYPT_OK)
        status = scrypt_derive_key((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, N, r, p,
                                   key, sizeof key);
    const double t2 = now();
    if (status != SCRYPT_OK) {
        fprintf(stderr, "derive_once: %s\n", scrypt_strerror(status));
        return 2;
    }
    printf("%.6f %.6f\n", t1 - t0, t2 - t1);
    return 0;
}
