// The password-string parser, through scrypt_verify_password and
// scrypt_password_needs_rehash, on fuzzed strings, with a memory limit of
// 256 KiB so that whatever parses stays cheap to derive.  Checked:
//   - every status is one the functions may return, and both functions
//     agree on which strings parse;
//   - a string that parses is the one spelling of its fields: written again
//     from them ("$7$" by the library's writer, PHC with OpenSSL's base64,
//     each field padded as the input's was) it is the input, byte for byte;
//   - the limit refuses exactly the strings whose table or work, computed in
//     128 bits, is over it;
//   - an admitted string verifies exactly when its key is the one OpenSSL's
//     EVP_PBE_scrypt derives from its salt and parameters.
// run.sh also caps single allocations, so that a string that got past the
// limit shows.
#include <openssl/evp.h>
#include <stdio.h>

#include <string>

#include "fuzz_support.h"
#include "passwd/encoding.h"
#include "scrypt-vornik.h"

namespace {

constexpr uint64_t max_memory = 256 << 10;
const uint8_t password[] = "pw";

std::string base64(const uint8_t *b, size_t n, bool pad) {
    std::string s(4 * (n / 3 + 1) + 1, '\0');
    s.resize((size_t)EVP_EncodeBlock((unsigned char *)s.data(), b, (int)n));
    if (!pad)
        while (!s.empty() && s.back() == '=') s.pop_back();
    return s;
}

// Each PHC field is padded or not by itself, as in `stored`.
std::string written_again(const password_string &s, const std::string &stored) {
    if (s.form == password_form_7) {
        std::string out(scrypt_password7_length(s.salt_len) + 1, '\0');
        scrypt_format_password7(out.data(), s.log2_N, s.r, s.p, (const char *)s.salt, s.salt_len,
                                s.key);
        out.pop_back();
        return out;
    }
    const size_t salt_at = stored.find('$', 8), key_at = stored.rfind('$');
    const bool salt_padded = stored.find('=', salt_at) < key_at;
    const bool key_padded = stored.find('=', key_at) != std::string::npos;
    return "$scrypt$ln=" + std::to_string(s.log2_N) + ",r=" + std::to_string(s.r) +
           ",p=" + std::to_string(s.p) + "$" + base64(s.salt, s.salt_len, salt_padded) + "$" +
           base64(s.key, sizeof s.key, key_padded);
}

bool over_limit(const password_string &s) {
    if (s.log2_N > 31) return true;
    const unsigned __int128 N = (unsigned __int128)1 << s.log2_N;
    return N * 128 * s.r > max_memory || N * s.r * s.p > max_memory / 128;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The string ends at the first NUL, as a C string does.
    const std::string stored((const char *)data, strnlen((const char *)data, size));
    const int v = scrypt_verify_password(stored.c_str(), password, 2, max_memory);
    const int n = scrypt_password_needs_rehash(stored.c_str(), 16, 1, 1);
    require(v == SCRYPT_OK || v == SCRYPT_ERR_MISMATCH || v == SCRYPT_ERR_FORMAT ||
                v == SCRYPT_ERR_LIMIT,
            "verify returned an unexpected status");
    require(n == 0 || n == 1 || n == SCRYPT_ERR_FORMAT,
            "needs_rehash returned an unexpected status");

    password_string s;
    const bool parsed = scrypt_parse_password(stored.c_str(), &s);
    require((v == SCRYPT_ERR_FORMAT) == !parsed, "verify and the parser disagree");
    require((n == SCRYPT_ERR_FORMAT) == !parsed, "needs_rehash and the parser disagree");
    if (!parsed) return 0;

    const std::string again = written_again(s, stored);
    require(again == stored, "the fields do not spell the string again");
    require((v == SCRYPT_ERR_LIMIT) == over_limit(s), "the limit misjudged the cost");
    if (v == SCRYPT_ERR_LIMIT) return 0;

    uint8_t key[32];
    const uint8_t none = 0;
    require(
        EVP_PBE_scrypt((const char *)password, 2, s.salt_len ? s.salt : &none, s.salt_len,
                       uint64_t(1) << s.log2_N, s.r, s.p, uint64_t(1) << 30, key, sizeof key) == 1,
        "EVP_PBE_scrypt refused the parameters");
    require((v == SCRYPT_OK) == (memcmp(key, s.key, sizeof key) == 0),
            "verify's verdict differs from OpenSSL's key");
    return 0;
}
