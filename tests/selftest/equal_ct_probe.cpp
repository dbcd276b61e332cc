// Run under valgrind's memcheck: the compared bytes are marked undefined, so
// memcheck reports every branch and every address that depends on them.  A
// clean run shows that scrypt_equal_ct() decides nothing on the content
// before its single final result (no early exit, no lookup by content).
#include <stdio.h>
#include <string.h>
#include <valgrind/memcheck.h>

#include <initializer_list>

#include "selftest/selftest.h"

int main() {
    if (!RUNNING_ON_VALGRIND) {
        fprintf(stderr, "not running under valgrind\n");
        return 2;
    }
    int wrong = 0;
    for (size_t n : {1, 16, 32, 64}) {
        for (size_t i = 0; i <= n; i++) {  // i == n: the strings are equal
            uint8_t a[64], b[64];
            for (size_t j = 0; j < n; j++) a[j] = b[j] = (uint8_t)(j * 37 + 11);
            if (i < n) b[i] ^= 0x40;
            VALGRIND_MAKE_MEM_UNDEFINED(a, n);
            VALGRIND_MAKE_MEM_UNDEFINED(b, n);
            uint32_t equal = scrypt_equal_ct(a, b, n);
            VALGRIND_MAKE_MEM_DEFINED(&equal, sizeof equal);
            if (equal != (i == n ? 1u : 0u)) {
                fprintf(stderr, "n %zu byte %zu: result %u\n", n, i, equal);
                wrong++;
            }
        }
    }
    return wrong ? 3 : 0;
}
