#include "passwd/random.h"

#include <errno.h>
#include <sys/random.h>

extern "C" {

getrandom_function SCRYPT_SEAM_CONST scrypt_getrandom = getrandom;

bool scrypt_random_bytes(uint8_t *buf, size_t len) {
    // Blocks until the kernel's pool is initialised (early boot only), then
    // never returns fewer than 256 bytes; a signal may interrupt the wait.
    ssize_t got;
    do got = scrypt_getrandom(buf, len, 0);
    while (got < 0 && errno == EINTR);
    return got >= 0 && size_t(got) == len;
}

}  // extern "C"
