/*
 * derive: derives one key with scrypt-vornik and prints it in hex together
 * with the time taken.  A plain C host of the library.
 *
 * Without options it derives RFC 7914's second test vector: password
 * "password", salt "NaCl", Nfactor 9, rfactor 3, pfactor 4 (N = 1024, r = 8,
 * p = 16), 64 bytes, and says whether the key equals the one the RFC
 * publishes (exit status 1 if not).
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "scrypt-vornik.h"

static void usage(FILE *f, const char *prog) {
    fprintf(f,
            "usage: %s [-p PASSWORD] [-s SALT] [-N NFACTOR] [-r RFACTOR] [-P PFACTOR] [-l LENGTH]\n"
            "  -p PASSWORD  password (default \"password\")\n"
            "  -s SALT      salt (default \"NaCl\")\n"
            "  -N NFACTOR   N = 2^(NFACTOR+1), 0..30 (default 9: N = 1024)\n"
            "  -r RFACTOR   r = 2^RFACTOR, 0..8 (default 3: r = 8)\n"
            "  -P PFACTOR   p = 2^PFACTOR, 0..25 (default 4: p = 16)\n"
            "  -l LENGTH    key length in bytes, 1..1048576 (default 64)\n",
            prog);
}

/* The key of RFC 7914's second test vector (section 12). */
static const unsigned char rfc7914_vector2[64] = {
    0xfd, 0xba, 0xbe, 0x1c, 0x9d, 0x34, 0x72, 0x00, 0x78, 0x56, 0xe7, 0x19, 0x0d, 0x01, 0xe9, 0xfe,
    0x7c, 0x6a, 0xd7, 0xcb, 0xc8, 0x23, 0x78, 0x30, 0xe7, 0x73, 0x76, 0x63, 0x4b, 0x37, 0x31, 0x62,
    0x2e, 0xaf, 0x30, 0xd9, 0x2e, 0x22, 0xa3, 0x88, 0x6f, 0xf1, 0x09, 0x27, 0x9d, 0x98, 0x30, 0xda,
    0xc7, 0x27, 0xaf, 0xb9, 0x4a, 0x83, 0xee, 0x6d, 0x83, 0x60, 0xcb, 0xdf, 0xa2, 0xcc, 0x06, 0x40};

/* Parses a decimal number in [lo, hi]; returns 0 on anything else. */
static int parse_number(const char *text, unsigned long lo, unsigned long hi,
                        unsigned long *value) {
    char *end;
    if (*text < '0' || *text > '9') return 0;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return 0;
    *value = v;
    return 1;
}

int main(int argc, char **argv) {
    const char *password = "password";
    const char *salt = "NaCl";
    unsigned long Nfactor = 9, rfactor = 3, pfactor = 4, length = 64;
    int opt;

    while ((opt = getopt(argc, argv, "p:s:N:r:P:l:h")) != -1) {
        int ok = 1;
        switch (opt) {
            case 'p':
                password = optarg;
                break;
            case 's':
                salt = optarg;
                break;
            case 'N':
                ok = parse_number(optarg, 0, 30, &Nfactor);
                break;
            case 'r':
                ok = parse_number(optarg, 0, 8, &rfactor);
                break;
            case 'P':
                ok = parse_number(optarg, 0, 25, &pfactor);
                break;
            case 'l':
                ok = parse_number(optarg, 1, 1048576, &length);
                break;
            case 'h':
                usage(stdout, argv[0]);
                return 0;
            default:
                usage(stderr, argv[0]);
                return 2;
        }
        if (!ok) {
            fprintf(stderr, "%s: invalid value '%s' for -%c\n", argv[0], optarg, opt);
            usage(stderr, argv[0]);
            return 2;
        }
    }
    if (optind != argc) {
        fprintf(stderr, "%s: unexpected argument '%s'\n", argv[0], argv[optind]);
        usage(stderr, argv[0]);
        return 2;
    }

    unsigned char *key = malloc(length);
    if (key == NULL) {
        fprintf(stderr, "%s: out of memory\n", argv[0]);
        return 1;
    }

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    scrypt((const uint8_t *)password, strlen(password), (const uint8_t *)salt, strlen(salt),
           (uint8_t)Nfactor, (uint8_t)rfactor, (uint8_t)pfactor, key, length);
    clock_gettime(CLOCK_MONOTONIC, &t1);

    printf("N=%lu r=%lu p=%lu\nkey: ", 2UL << Nfactor, 1UL << rfactor, 1UL << pfactor);
    for (unsigned long i = 0; i < length; i++) printf("%02x", key[i]);
    double ms = (double)(t1.tv_sec - t0.tv_sec) * 1e3 + (double)(t1.tv_nsec - t0.tv_nsec) / 1e6;
    printf("\ntime: %.3f ms (first call, includes the library's self-test)\n", ms);

    /* With the vector's parameters (the defaults), check the key against the
     * RFC's, reading every byte whatever the first difference. */
    int status = 0;
    if (strcmp(password, "password") == 0 && strcmp(salt, "NaCl") == 0 && Nfactor == 9 &&
        rfactor == 3 && pfactor == 4 && length == sizeof rfc7914_vector2) {
        unsigned char diff = 0;
        for (size_t i = 0; i < sizeof rfc7914_vector2; i++) diff |= key[i] ^ rfc7914_vector2[i];
        if (diff == 0) {
            printf("check: the key equals RFC 7914's test vector 2\n");
        } else {
            printf("check: FAILED, the key differs from RFC 7914's test vector 2\n");
            status = 1;
        }
    }
    free(key);
    return status;
}
