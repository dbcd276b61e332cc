// Parameter sets that scrypt() must refuse before deriving anything, with
// the message each one gets.  Shared by the default-handler and the
// returning-handler tests.
#pragma once

#include <stdint.h>

// The longest output allowed: (2^32 - 1) * 32 bytes.
constexpr uint64_t max_output_len = ((uint64_t(1) << 32) - 1) * 32;

struct call_case {
    unsigned N, r, p;  // factors
    uint64_t len;      // output length
    const char *message;
};

inline constexpr call_case rejected_calls[] = {
    // Out of range, each factor by itself, checked in the order N, r, p.
    {31, 0, 0, 16, "scrypt: N out of range"},
    {255, 9, 26, 16, "scrypt: N out of range"},
    {0, 9, 0, 16, "scrypt: r out of range"},
    {0, 9, 26, 16, "scrypt: r out of range"},
    {0, 0, 26, 16, "scrypt: p out of range"},
    // p * 128 * r beyond (2^32 - 1) * 32 bytes.
    {0, 5, 25, 16, "scrypt: p out of range"},
    {0, 6, 24, 16, "scrypt: p out of range"},
    {0, 8, 22, 16, "scrypt: p out of range"},
    {0, 0, 0, max_output_len + 1, "scrypt: output length out of range"},
};
