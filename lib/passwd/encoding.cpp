#include "passwd/encoding.h"

#include <string.h>

namespace {

constexpr char alphabet7[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The value of one character of the "$7$" alphabet, or -1.
int value7(char c) {
    if (c >= 'a' && c <= 'z') return c - 'a' + 38;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 12;
    if (c >= '0' && c <= '9') return c - '0' + 2;
    if (c == '.') return 0;
    if (c == '/') return 1;
    return -1;
}

// The value of one character of standard base64, or -1.
int value64(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Characters a "$7$" salt may hold: the alphabet, and '+', which passlib
// writes (its "$7$" salts are standard base64 without padding).  None of them
// is ever decoded.
bool salt7_char(char c) {
    return value7(c) >= 0 || c == '+';
}

// A field of `chars` characters, least significant six bits first.
bool decode_number7(const char *s, unsigned chars, uint32_t *out) {
    uint32_t v = 0;
    for (unsigned i = 0; i < chars; i++) {
        const int d = value7(s[i]);
        if (d < 0) return false;
        v |= uint32_t(d) << (6 * i);
    }
    *out = v;
    return true;
}

char *encode_number7(char *out, uint32_t v, unsigned chars) {
    for (unsigned i = 0; i < chars; i++, v >>= 6) *out++ = alphabet7[v & 63];
    return out;
}

// Exactly `len` bytes from the characters at s, which must number
// ceil(8 len / 6), with the unused high bits of the last one zero.
bool decode_bytes7(const char *s, size_t chars, uint8_t *out, size_t len) {
    if (chars != (len * 4 + 2) / 3) return false;
    for (size_t at = 0; at < len; at += 3) {
        const size_t take = len - at < 3 ? len - at : 3;
        uint32_t group = 0;
        for (size_t i = 0; i <= take; i++) {
            const int d = value7(*s++);
            if (d < 0) return false;
            group |= uint32_t(d) << (6 * i);
        }
        if (group >> (8 * take)) return false;
        for (size_t i = 0; i < take; i++) out[at + i] = uint8_t(group >> (8 * i));
    }
    return true;
}

// Standard base64 of s[0, chars), padded or not, into at most `cap` bytes.
// Refuses misplaced or superfluous padding, a length no encoding has, and
// unused low bits that are not zero (a second spelling of the same bytes).
bool decode_base64(const char *s, size_t chars, uint8_t *out, size_t cap, size_t *len) {
    size_t pad = 0;
    while (pad < chars && pad < 3 && s[chars - 1 - pad] == '=') pad++;
    const size_t data = chars - pad;
    if (data % 4 == 1) return false;
    if (pad != 0 && (chars % 4 != 0 || pad != 4 - data % 4)) return false;
    const size_t bytes = data / 4 * 3 + (data % 4 ? data % 4 - 1 : 0);
    if (bytes > cap) return false;
    uint32_t acc = 0;
    unsigned bits = 0;
    size_t n = 0;
    for (size_t i = 0; i < data; i++) {
        const int d = value64(s[i]);
        if (d < 0) return false;
        acc = (acc << 6) | uint32_t(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[n++] = uint8_t(acc >> bits);
            acc &= (uint32_t(1) << bits) - 1;
        }
    }
    if (acc != 0) return false;
    *len = n;
    return true;
}

// A decimal number of one or more digits without a leading zero, at most
// 2^32 - 1.  Advances *s past it.
bool decode_decimal(const char **s, uint32_t *out) {
    const char *p = *s;
    if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9')) return false;
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + uint64_t(*p - '0');
        if (v > UINT32_MAX) return false;
    }
    *out = uint32_t(v);
    *s = p;
    return true;
}

bool skip(const char **s, const char *literal) {
    const size_t n = strlen(literal);
    if (strncmp(*s, literal, n) != 0) return false;
    *s += n;
    return true;
}

bool parse7(const char *s, password_string *out) {
    if (!decode_number7(s, 1, &out->log2_N) || !decode_number7(s + 1, 5, &out->r) ||
        !decode_number7(s + 6, 5, &out->p))
        return false;
    const char *salt = s + 11;
    const char *end = salt;
    bool own_alphabet = true;
    for (; *end != '$'; end++) {
        if (!salt7_char(*end)) return false;  // also the terminator
        own_alphabet &= *end != '+';
    }
    const char *key = end + 1;
    const size_t key_chars = strlen(key);
    if (!decode_bytes7(key, key_chars, out->key, sizeof out->key)) return false;
    out->form = password_form_7;
    out->salt = (const uint8_t *)salt;
    out->salt_len = size_t(end - salt);
    out->own_shape = own_alphabet && out->salt_len == SCRYPT_PASSWORD_SALT_CHARS;
    return true;
}

bool parse_phc(const char *s, password_string *out) {
    if (!skip(&s, "ln=") || !decode_decimal(&s, &out->log2_N) || !skip(&s, ",r=") ||
        !decode_decimal(&s, &out->r) || !skip(&s, ",p=") || !decode_decimal(&s, &out->p) ||
        !skip(&s, "$"))
        return false;
    const char *end = strchr(s, '$');
    if (end == nullptr) return false;
    if (!decode_base64(s, size_t(end - s), out->salt_buffer, sizeof out->salt_buffer,
                       &out->salt_len))
        return false;
    const char *key = end + 1;
    size_t key_len;
    if (!decode_base64(key, strlen(key), out->key, sizeof out->key, &key_len) ||
        key_len != sizeof out->key)
        return false;
    out->form = password_form_phc;
    out->salt = out->salt_buffer;
    out->own_shape = false;
    return true;
}

}  // namespace

extern "C" {

bool scrypt_parse_password(const char *s, password_string *out) {
    if (s == nullptr) return false;
    bool parsed = false;
    if (strncmp(s, "$7$", 3) == 0) parsed = parse7(s + 3, out);
    if (strncmp(s, "$scrypt$", 8) == 0) parsed = parse_phc(s + 8, out);
    // Well-formed, but no scrypt at all: N = 1, r or p 0, or a mixed buffer
    // p * 128 * r of 2^37 bytes or more, which RFC 7914 forbids.
    return parsed && out->log2_N != 0 && out->r != 0 && out->p != 0 &&
           uint64_t(out->r) * out->p < (uint64_t(1) << 30);
}

size_t scrypt_encode64_7(char *out, const uint8_t *bytes, size_t len) {
    char *at = out;
    for (size_t i = 0; i < len; i += 3) {
        const size_t take = len - i < 3 ? len - i : 3;
        uint32_t group = 0;
        for (size_t k = 0; k < take; k++) group |= uint32_t(bytes[i + k]) << (8 * k);
        at = encode_number7(at, group, unsigned(take) + 1);
    }
    return size_t(at - out);
}

void scrypt_format_password7(char *out, uint32_t log2_N, uint32_t r, uint32_t p, const char *salt,
                             size_t salt_len, const uint8_t key[SCRYPT_PASSWORD_KEY_BYTES]) {
    memcpy(out, "$7$", 3);
    char *at = encode_number7(out + 3, log2_N, 1);
    at = encode_number7(at, r, 5);
    at = encode_number7(at, p, 5);
    memcpy(at, salt, salt_len);
    at += salt_len;
    *at++ = '$';
    at += scrypt_encode64_7(at, key, SCRYPT_PASSWORD_KEY_BYTES);
    *at = '\0';
}

}  // extern "C"
