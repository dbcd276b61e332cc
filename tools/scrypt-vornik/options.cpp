#include "options.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool parse_count(const char *text, uint64_t min, uint64_t max, uint64_t *out) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t v = 0;
    for (const char *c = text; *c; c++) {
        if (*c < '0' || *c > '9') return false;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t(*c - '0'), &v))
            return false;
    }
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

bool parse_N(const char *text, uint64_t *out) {
    uint64_t v;
    if (!parse_count(text, 2, uint64_t(1) << 31, &v) || (v & (v - 1)) != 0) return false;
    *out = v;
    return true;
}

bool parse_bytes(const char *text, uint64_t *out) {
    if (text == nullptr) return false;
    const size_t len = strlen(text);
    if (len == 0) return false;
    unsigned shift = 0;
    switch (text[len - 1]) {
        case 'K':
            shift = 10;
            break;
        case 'M':
            shift = 20;
            break;
        case 'G':
            shift = 30;
            break;
    }
    char digits[32];
    const size_t n = shift ? len - 1 : len;
    if (n == 0 || n >= sizeof digits) return false;
    memcpy(digits, text, n);
    digits[n] = '\0';
    uint64_t v;
    if (!parse_count(digits, 1, UINT64_MAX, &v)) return false;
    if (shift && v > (UINT64_MAX >> shift)) return false;
    *out = v << shift;
    return true;
}

bool parse_seconds(const char *text, double *out) {
    if (text == nullptr || *text == '\0') return false;
    // Decimal digits, a point and an exponent only: no sign, space, hex,
    // "inf" or "nan", which strtod would take.
    if (!((*text >= '0' && *text <= '9') || *text == '.')) return false;
    for (const char *c = text; *c; c++)
        if (!((*c >= '0' && *c <= '9') || *c == '.' || *c == 'e' || *c == 'E' || *c == '-' ||
              *c == '+'))
            return false;
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !isfinite(v) || !(v > 0)) return false;
    *out = v;
    return true;
}

bool parse_options(int argc, char **argv, option_spec *specs, size_t spec_count,
                   const char **positional, size_t max_positional, size_t *positional_count,
                   char *error, size_t error_size) {
    *positional_count = 0;
    bool options_done = false;
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        if (!options_done && strcmp(arg, "--") == 0) {
            options_done = true;
            continue;
        }
        if (options_done || arg[0] != '-' || arg[1] == '\0') {
            if (*positional_count == max_positional) {
                snprintf(error, error_size, "unexpected argument '%s'", arg);
                return false;
            }
            positional[(*positional_count)++] = arg;
            continue;
        }
        // "--name=value" or "--name value"; short options take "-N value".
        const char *eq = arg[1] == '-' ? strchr(arg, '=') : nullptr;
        const size_t name_len = eq ? size_t(eq - arg) : strlen(arg);
        option_spec *spec = nullptr;
        for (size_t k = 0; k < spec_count; k++)
            if (strlen(specs[k].name) == name_len && strncmp(specs[k].name, arg, name_len) == 0)
                spec = &specs[k];
        if (spec == nullptr) {
            snprintf(error, error_size, "unknown option '%.*s'", int(name_len), arg);
            return false;
        }
        const char *value = eq ? eq + 1 : nullptr;
        if (value == nullptr) {
            if (i + 1 >= argc) {
                snprintf(error, error_size, "option '%s' needs a value", spec->name);
                return false;
            }
            value = argv[++i];
        }
        if (*spec->value != nullptr) {
            snprintf(error, error_size, "option '%s' given twice", spec->name);
            return false;
        }
        *spec->value = value;
    }
    return true;
}
