// A C++ host of the installed library: prints the header's version, then the
// 64-byte key of RFC 7914's second test vector (password "password", salt
// "NaCl", N = 1024, r = 8, p = 16) in hexadecimal.  The fatal-error handler
// is a C++ function, installed through the C interface.
#include <scrypt-vornik.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

void report(const char *message) {
    std::fprintf(stderr, "cxx-host: %s\n", message);
    std::exit(3);
}

}  // namespace

int main() {
    scrypt_set_fatal_error(report);
    constexpr std::string_view password = "password", salt = "NaCl";
    std::array<uint8_t, 64> key{};
    scrypt(reinterpret_cast<const uint8_t *>(password.data()), password.size(),
           reinterpret_cast<const uint8_t *>(salt.data()), salt.size(), 9, 3, 4, key.data(),
           key.size());
    std::printf("scrypt-vornik %d.%d.%d %s\n", SCRYPT_VORNIK_VERSION_MAJOR,
                SCRYPT_VORNIK_VERSION_MINOR, SCRYPT_VORNIK_VERSION_PATCH,
                SCRYPT_VORNIK_VERSION_STRING);
    for (uint8_t byte : key) std::printf("%02x", byte);
    std::printf("\n");
    return 0;
}
