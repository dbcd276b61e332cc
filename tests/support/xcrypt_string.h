// libxcrypt's crypt(3) as a peer of the password strings: the string that
// crypt_r() makes of `password` with `setting` (a whole stored string, or a
// setting without its key), or "" where it refuses ("*0" and the like).
// Only for a target that scrypt_password_peers() found libxcrypt for.
#pragma once

#include <crypt.h>
#include <string.h>

#include <string>

inline std::string crypt_string(const std::string &password, const std::string &setting) {
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char *s = crypt_r(password.c_str(), setting.c_str(), &data);
    return s && s[0] != '*' ? s : "";
}
