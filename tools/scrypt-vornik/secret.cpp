#include "secret.h"

#include <stdlib.h>
#include <string.h>

void wipe(void *p, size_t len) {
    if (p != nullptr) explicit_bzero(p, len);
}

bool secret::reserve(size_t more) {
    if (cap - len >= more) return true;
    size_t want = cap ? cap : 64;
    while (want - len < more) {
        if (want > SIZE_MAX / 2) return false;
        want *= 2;
    }
    uint8_t *grown = static_cast<uint8_t *>(malloc(want));
    if (grown == nullptr) return false;
    if (len) memcpy(grown, data, len);
    wipe(data, cap);
    free(data);
    data = grown;
    cap = want;
    return true;
}

void secret::clear() {
    wipe(data, cap);
    free(data);
    data = nullptr;
    len = cap = 0;
}

bool same_secret(const secret &a, const secret &b) {
    if (a.len != b.len) return false;
    uint8_t diff = 0;
    for (size_t i = 0; i < a.len; i++) diff |= a.data[i] ^ b.data[i];
    return diff == 0;
}
