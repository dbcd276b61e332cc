// scrypt()'s front over the derivation core.  Private to the library;
// declared here so that the tests can observe scrypt()'s shared buffers.
#ifndef SCRYPT_VORNIK_SCRYPT_H
#define SCRYPT_VORNIK_SCRYPT_H

#include "core/cache.h"
#include "handler.h"
#include "internal.h"
#include "post.h"
#include "scrypt-vornik.h"

#endif
