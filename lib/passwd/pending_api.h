// Stand-in for the derivation interface that the public header is about to
// gain (statuses and scrypt_derive_key), so that the password functions
// build before it lands.  Goes when it does.
#ifndef SCRYPT_VORNIK_PASSWD_PENDING_API_H
#define SCRYPT_VORNIK_PASSWD_PENDING_API_H

#include "scrypt-vornik.h"

#ifndef SCRYPT_OK
#define SCRYPT_OK 0
#define SCRYPT_ERR_PARAMETER (-1)
#define SCRYPT_ERR_MEMORY (-2)
#define SCRYPT_ERR_SELFTEST (-3)
#define SCRYPT_ERR_BUFFER (-4)
#define SCRYPT_ERR_RANDOM (-5)
#define SCRYPT_ERR_MISMATCH (-6)
#define SCRYPT_ERR_FORMAT (-7)
#define SCRYPT_ERR_LIMIT (-8)
#define SCRYPT_PENDING_DERIVE_KEY 1
extern "C" int scrypt_derive_key(const uint8_t *password, size_t password_len, const uint8_t *salt,
                                 size_t salt_len, uint64_t N, uint32_t r, uint32_t p, uint8_t *out,
                                 size_t out_len);
extern "C" const char *scrypt_strerror(int status);
#endif

#endif
