// scrypt_derive_key()'s work without its entry and exit, for the entry points
// that derive a key as part of their own call (the password strings): they
// begin and end one call around it, as scrypt_derive_key() does, rather than
// nesting a second entry point inside theirs.
#ifndef SCRYPT_VORNIK_DERIVE_KEY_H
#define SCRYPT_VORNIK_DERIVE_KEY_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

// Everything scrypt_derive_key() does between scrypt_call_begin() and
// scrypt_call_end(): the entry setup, the self-test (or the wait for it),
// the derivation in the calling thread's buffers.  Returns its status.
int scrypt_derive_key_in_call(const uint8_t *password, size_t password_len, const uint8_t *salt,
                              size_t salt_len, uint64_t N, uint32_t r, uint32_t p, uint8_t *out,
                              size_t out_len);

SCRYPT_PRIVATE_END

#endif
