// The command line: strict parsing of numbers, sizes and times, and of each
// command's options.
#ifndef SCRYPT_VORNIK_TOOL_OPTIONS_H
#define SCRYPT_VORNIK_TOOL_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

// Each returns true and sets *out for a valid text, or false.
//
// A whole number from `min` to `max`: decimal digits only (no sign, space
// or base prefix).
bool parse_count(const char *text, uint64_t min, uint64_t max, uint64_t *out);
// A power of two from 2 to 2^31.
bool parse_N(const char *text, uint64_t *out);
// A number of bytes, at least 1, with an optional suffix K, M or G (powers
// of 1024), at most 2^64 - 1.
bool parse_bytes(const char *text, uint64_t *out);
// A time in seconds: a positive finite decimal number ("0.5", "2", "1e-3").
bool parse_seconds(const char *text, double *out);

// One option of a command: "-N", "--time"; every option takes a value.
struct option_spec {
    const char *name;
    const char **value;  // set to the value given; null while not given
};

// Matches argv against `specs` ("--name VALUE" and "--name=VALUE"; a bare
// "--" ends the options) and collects up to `max_positional` other
// arguments into positional[].  On an error writes one line of text (no
// program name, no newline) to `error` and returns false.
bool parse_options(int argc, char **argv, option_spec *specs, size_t spec_count,
                   const char **positional, size_t max_positional, size_t *positional_count,
                   char *error, size_t error_size);

#endif
