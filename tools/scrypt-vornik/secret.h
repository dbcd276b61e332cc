// The program's secrets (the password, the key and its text): heap buffers
// that are wiped before they are released, when they grow, and when the
// program leaves by any return path.
#ifndef SCRYPT_VORNIK_TOOL_SECRET_H
#define SCRYPT_VORNIK_TOOL_SECRET_H

#include <stddef.h>
#include <stdint.h>

// Overwrites `len` bytes with zeros by a fill the compiler may not remove.
void wipe(void *p, size_t len);

struct secret {
    uint8_t *data = nullptr;
    size_t len = 0, cap = 0;

    secret() = default;
    secret(const secret &) = delete;
    secret &operator=(const secret &) = delete;
    ~secret() { clear(); }

    // Makes room for at least `more` bytes after `len`: a larger buffer
    // takes a copy and the old one is wiped and released.  false when the
    // memory could not be had (the contents stay as they were).
    bool reserve(size_t more);
    // Wipes and releases the buffer.
    void clear();
};

// Two secrets equal, in time that depends on their lengths only.
bool same_secret(const secret &a, const secret &b);

#endif
