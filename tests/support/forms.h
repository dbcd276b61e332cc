// Looking up the library's mixing forms by name.
#pragma once

#include <string.h>

#include "dispatch/dispatch.h"

// The form called `name`, or null when the build has none (a non-const
// pointer in the test-only build, whose form table is writable).
inline auto *form_named(const char *name) {
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (strcmp(scrypt_mix_forms[i].name, name) == 0) return &scrypt_mix_forms[i];
    return decltype(&scrypt_mix_forms[0])(nullptr);
}

// Its index in the table, or -1.
inline int form_index(const char *name) {
    const auto *f = form_named(name);
    return f ? (int)(f - scrypt_mix_forms) : -1;
}
