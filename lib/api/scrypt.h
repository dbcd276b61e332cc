// Process-wide state of the entry points.  Private to the library; declared
// here so that the tests can observe it.
#ifndef SCRYPT_VORNIK_DRIVER_H
#define SCRYPT_VORNIK_DRIVER_H

#include <stdint.h>

#include "core/derive.h"
#include "handler.h"
#include "internal.h"
#include "scrypt-vornik.h"

SCRYPT_PRIVATE_BEGIN

// 0 until the first call of the process has started the self-test.
extern int32_t power_on_self_test;

SCRYPT_PRIVATE_END

#endif
