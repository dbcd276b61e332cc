// Random bytes from the kernel, for the salts of new password strings.
#ifndef SCRYPT_VORNIK_PASSWD_RANDOM_H
#define SCRYPT_VORNIK_PASSWD_RANDOM_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

// getrandom(2) as the C library offers it.  The test-only build
// (SCRYPT_TEST_SEAMS) may put a fake in its place, to show what each of the
// kernel's answers leads to.
typedef ssize_t (*getrandom_function)(void *buf, size_t len, unsigned flags);
extern getrandom_function SCRYPT_SEAM_CONST scrypt_getrandom;

// Fills buf[0, len) (len at most 256, which getrandom(2) serves in one call
// once the pool is ready) and returns true; false when no randomness could
// be had: an error other than an interrupted call, or a short read.
bool scrypt_random_bytes(uint8_t *buf, size_t len);

SCRYPT_PRIVATE_END

#endif
