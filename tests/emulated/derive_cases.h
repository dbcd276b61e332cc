// Parameter sets derived by the probe program and checked by the host test.
// Small costs, so that a run under an emulator stays quick; between them they
// cover every factor's low values and its limit where that is cheap
// (rfactor 8), empty, long and binary passwords and salts, and output
// lengths that are not multiples of the hash size.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct derive_case {
    const char *password;
    size_t password_len;
    const char *salt;
    size_t salt_len;
    uint8_t Nfactor, rfactor, pfactor;
    size_t out_len;
};

#define DERIVE_TEXT(s) s, sizeof(s) - 1

static const char derive_long_text[] =
    "a password longer than one SHA-256 block, so that HMAC has to hash its key "
    "before use, and then some more to be sure";

static const derive_case derive_cases[] = {
    {DERIVE_TEXT(""), DERIVE_TEXT(""), 3, 0, 0, 64},              // RFC 7914 vector 1
    {DERIVE_TEXT("password"), DERIVE_TEXT("NaCl"), 9, 3, 4, 64},  // RFC 7914 vector 2
    {DERIVE_TEXT("pleaseletmein"), DERIVE_TEXT("SodiumChloride"), 0, 0, 0, 32},
    {DERIVE_TEXT("pw"), DERIVE_TEXT("salt"), 1, 1, 0, 1},
    {DERIVE_TEXT(derive_long_text), DERIVE_TEXT(derive_long_text), 2, 2, 1, 100},
    {DERIVE_TEXT("\0bin\xff\x80"
                 "ary\0"),
     DERIVE_TEXT("\xff\0\x01"), 4, 0, 2, 48},
    {DERIVE_TEXT("widest chunk"), DERIVE_TEXT("s"), 0, 8, 0, 64},
    {DERIVE_TEXT("eight lanes"), DERIVE_TEXT("s"), 2, 0, 3, 33},
    {DERIVE_TEXT("x"), DERIVE_TEXT(""), 7, 1, 1, 64},
    {DERIVE_TEXT(""), DERIVE_TEXT("salt only"), 5, 4, 0, 16},
    {DERIVE_TEXT("long output"), DERIVE_TEXT("NaCl"), 1, 0, 0, 200},
    {DERIVE_TEXT("table of 4096"), DERIVE_TEXT("NaCl"), 11, 0, 1, 32},
};

static const size_t derive_case_count = sizeof derive_cases / sizeof derive_cases[0];
