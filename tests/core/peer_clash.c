/*
 * The library beside every peer a host may link with it: this program
 * includes the headers of libsodium, OpenSSL's libcrypto, libscrypt-kdf and
 * libxcrypt together with ours, links all of them with the archive (any
 * clash of names fails its compilation or its link), and checks that each
 * derives the same key as both of our entry points, for RFC 7914's second
 * test vector and for parameters that are not powers of two.  libxcrypt
 * derives inside its "$7$" hash strings, so our key is encoded in that form
 * and compared as a string.
 */
#include <crypt.h>
#include <openssl/evp.h>
#include <scrypt-kdf.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>

#include "scrypt-vornik.h"

struct parameters {
    const char *password, *salt;
    uint64_t N;
    uint32_t r, p;
};

static const char itoa64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

/* `bits` bits of `value`, six to a character, least significant first. */
static char *encode_bits(char *to, uint32_t value, int bits) {
    for (int done = 0; done < bits; done += 6, value >>= 6) *to++ = itoa64[value & 63];
    return to;
}

/* libxcrypt's setting for the parameters: "$7$", log2 N, r and p in 30 bits
 * each, then the salt as it is (it is also the salt the derivation uses). */
static void setting_for(const struct parameters *q, char *to) {
    int log2_N = 0;
    while (((uint64_t)1 << log2_N) < q->N) log2_N++;
    *to++ = '$';
    *to++ = '7';
    *to++ = '$';
    *to++ = itoa64[log2_N];
    to = encode_bits(to, q->r, 30);
    to = encode_bits(to, q->p, 30);
    strcpy(to, q->salt);
}

/* The hash string of a 32-byte key: the setting, '$', then the key in
 * groups of three bytes, little-endian, 24 bits to four characters. */
static void hash_string(const char *setting, const uint8_t key[32], char *to) {
    to += sprintf(to, "%s$", setting);
    for (int i = 0; i < 32; i += 3) {
        const int n = 32 - i < 3 ? 32 - i : 3;
        uint32_t v = 0;
        for (int k = 0; k < n; k++) v |= (uint32_t)key[i + k] << (8 * k);
        to = encode_bits(to, v, 8 * n);
    }
    *to = '\0';
}

static int same(const char *who, const uint8_t *got, const uint8_t *want) {
    if (memcmp(got, want, 32) == 0) return 1;
    fprintf(stderr, "%s: a different key\n", who);
    return 0;
}

static int check(const struct parameters *q) {
    const uint8_t *pw = (const uint8_t *)q->password, *salt = (const uint8_t *)q->salt;
    const size_t pw_len = strlen(q->password), salt_len = strlen(q->salt);
    uint8_t ours[32], other[32];
    int ok = 1;

    if (scrypt_derive_key(pw, pw_len, salt, salt_len, q->N, q->r, q->p, ours, 32) != SCRYPT_OK) {
        fprintf(stderr, "scrypt_derive_key failed\n");
        return 0;
    }
    /* scrypt() takes the powers of two as factors. */
    if ((q->r & (q->r - 1)) == 0 && (q->p & (q->p - 1)) == 0) {
        uint8_t Nfactor = 0, rfactor = 0, pfactor = 0;
        while (((uint64_t)2 << Nfactor) < q->N) Nfactor++;
        while ((1u << rfactor) < q->r) rfactor++;
        while ((1u << pfactor) < q->p) pfactor++;
        scrypt(pw, pw_len, salt, salt_len, Nfactor, rfactor, pfactor, other, 32);
        ok &= same("scrypt", other, ours);
    }
    ok &=
        EVP_PBE_scrypt(q->password, pw_len, salt, salt_len, q->N, q->r, q->p, 0, other, 32) == 1 &&
        same("OpenSSL", other, ours);
    ok &= crypto_pwhash_scryptsalsa208sha256_ll(pw, pw_len, salt, salt_len, q->N, q->r, q->p, other,
                                                32) == 0 &&
          same("libsodium", other, ours);
    /* scrypt_kdf is libscrypt-kdf's macro for crypto_scrypt. */
    ok &= scrypt_kdf(pw, pw_len, salt, salt_len, q->N, q->r, q->p, other, 32) == 0 &&
          same("libscrypt-kdf", other, ours);

    char setting[64], want[128];
    setting_for(q, setting);
    hash_string(setting, ours, want);
    const char *got = crypt(q->password, setting);
    if (got == NULL || strcmp(got, want) != 0) {
        fprintf(stderr, "libxcrypt: %s, expected %s\n", got ? got : "(null)", want);
        ok = 0;
    }
    printf("N %llu r %u p %u: %s\n", (unsigned long long)q->N, q->r, q->p,
           ok ? "the same key from every library" : "KEYS DIFFER");
    return ok;
}

int main(void) {
    if (sodium_init() < 0) return 2;
    const struct parameters sets[] = {
        {"password", "NaCl", 1024, 8, 16},
        {"pleaseletmein", "SodiumChloride", 2048, 3, 5},
    };
    int ok = 1;
    for (size_t i = 0; i < sizeof sets / sizeof sets[0]; i++) ok &= check(&sets[i]);
    return ok ? 0 : 1;
}
