// The two textual forms of a stored password, parsed and written without
// computing anything:
//
//   "$7$"       $7$ N r p SALT $ KEY
//               N one character (log2 N), r and p five characters each
//               (30-bit numbers, least significant six bits first), SALT
//               any run of salt characters, used as bytes as it stands, KEY
//               the 32-byte key in 43 characters.  Alphabet ./0-9A-Za-z.
//   PHC         $scrypt$ln=L,r=R,p=P$SALT$KEY
//               decimal numbers, SALT and KEY in standard base64 (+/), with
//               or without padding; the salt is decoded to bytes.
//
// Nothing here allocates; a parsed string lives in one caller-held record.
#ifndef SCRYPT_VORNIK_PASSWD_ENCODING_H
#define SCRYPT_VORNIK_PASSWD_ENCODING_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

enum {
    // The key that both forms carry.
    SCRYPT_PASSWORD_KEY_BYTES = 32,
    // The salt of the library's own strings: 32 bytes written as 43
    // characters of the "$7$" alphabet.
    SCRYPT_PASSWORD_SALT_BYTES = 32,
    SCRYPT_PASSWORD_SALT_CHARS = 43,
    // The longest PHC salt, decoded (passlib's own maximum).
    SCRYPT_PHC_SALT_MAX_BYTES = 1024,
};

typedef enum password_form { password_form_7, password_form_phc } password_form;

// A stored string taken apart.  The numbers are as written: nothing is known
// about them yet beyond their fitting these fields (log2_N is 0 to 63 in
// "$7$"; r and p 30 bits there, 32 bits in PHC).
typedef struct password_string {
    password_form form;
    uint32_t log2_N;
    uint32_t r, p;
    const uint8_t *salt;  // "$7$": the salt characters inside the string;
    size_t salt_len;      // PHC: salt_buffer
    uint8_t salt_buffer[SCRYPT_PHC_SALT_MAX_BYTES];
    uint8_t key[SCRYPT_PASSWORD_KEY_BYTES];
    // "$7$" with a salt of exactly SCRYPT_PASSWORD_SALT_CHARS characters of
    // the alphabet: the shape of the strings this library writes.
    bool own_shape;
} password_string;

// Takes `s` apart into `out`.  Returns false when it is neither form, or any
// field is malformed: a character outside its alphabet, a number that does
// not fit its field, a missing or extra field, a key of the wrong length, or
// anything after the key; and when its numbers name no scrypt (log2_N 0, r or
// p 0, r * p of 2^30 or more).  Reads `s` up to its terminator and no
// further.
bool scrypt_parse_password(const char *s, password_string *out);

// Writes bytes[0, len) in the "$7$" alphabet, little-endian in groups of
// three bytes, low six bits first: 4 characters a group, 2 or 3 for a last
// group of 1 or 2 bytes.  Returns the number of characters written (no
// terminator).
size_t scrypt_encode64_7(char *out, const uint8_t *bytes, size_t len);

// The length of the string scrypt_format_password7 writes for a salt of
// `salt_len` characters, without its terminator.
constexpr size_t scrypt_password7_length(size_t salt_len) {
    return 3 + 1 + 5 + 5 + salt_len + 1 + (SCRYPT_PASSWORD_KEY_BYTES * 4 + 2) / 3;
}

// Writes "$7$" for log2_N (< 64), r and p (< 2^30), the salt characters and
// the key, and a terminator; `out` must hold
// scrypt_password7_length(salt_len) + 1 bytes.
void scrypt_format_password7(char *out, uint32_t log2_N, uint32_t r, uint32_t p, const char *salt,
                             size_t salt_len, const uint8_t key[SCRYPT_PASSWORD_KEY_BYTES]);

SCRYPT_PRIVATE_END

#endif
