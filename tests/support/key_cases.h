// The table of scrypt_derive_key() parameter sets that every mixing form is
// checked with against OpenSSL: natively (tests/core), on emulated
// processors (tests/emulated) and on the emulated XOP machine (tests/xop).
// r and p mostly odd and none of them powers of two but 1, lengths that are
// not multiples of the hash size, and each bound that is cheap to reach:
// N = 2, r = 1 and p = 1, r above scrypt()'s 256, many chunks, an output of
// many hash blocks, a password longer than a hash block.  Small costs, so
// that a run under an emulator stays quick.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

struct key_case {
    uint64_t N;
    uint32_t r, p;
    size_t password_len, salt_len, out_len;
};

inline constexpr key_case key_cases[] = {
    {2, 1, 1, 0, 0, 1},        {2, 3, 1, 1, 1, 64},       {16, 3, 5, 8, 4, 64},
    {1024, 10, 3, 13, 14, 32}, {64, 7, 1, 100, 100, 100}, {512, 5, 9, 1, 0, 33},
    {8, 255, 1, 3, 3, 31},     {4, 257, 3, 2, 2, 65},     {2, 1, 1001, 5, 5, 64},
    {4096, 1, 7, 20, 20, 16},  {256, 3, 3, 64, 65, 1000}, {32, 33, 11, 0, 7, 97},
};
inline constexpr size_t key_case_count = sizeof key_cases / sizeof key_cases[0];

// The password (which 0) or salt (which 1) of case `index`: bytes that differ
// from case to case.
inline std::string key_case_input(size_t index, int which) {
    const key_case &c = key_cases[index];
    const size_t len = which == 0 ? c.password_len : c.salt_len;
    const unsigned seed = (unsigned)(2 * index + which + 1);
    std::string s(len, '\0');
    for (size_t i = 0; i < len; i++) s[i] = (char)(uint8_t)(seed + 31 * i + (i >> 3));
    return s;
}

inline std::string describe(const key_case &c) {
    return "N " + std::to_string(c.N) + " r " + std::to_string(c.r) + " p " + std::to_string(c.p) +
           ", lengths " + std::to_string(c.password_len) + "/" + std::to_string(c.salt_len) + "/" +
           std::to_string(c.out_len);
}
