// Prints what the compiler's runtime sees of the processor it runs on,
// derives a key with scrypt() for every parameter set of derive_cases.h and
// one with scrypt_derive_key() for every set of support/key_cases.h, then
// names the mixing form that the calls ran (chosen by the first call's
// ranking):
//     cpu sse2 <0|1> avx <0|1> avx512 <0|1> xop <0|1>
//     case <index> <key in hex>
//     key <index> <key in hex, or "status <status>">
//     form <name>
// Run natively and under emulated processors by the host test.  A failing
// self-test makes the first scrypt() call print a message and exit with 1.
#include <stdio.h>

#include "derive_cases.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "scrypt-vornik.h"
#include "support/key_cases.h"

int main() {
    // A second opinion on the processor, from libgcc's own detection (which
    // also asks whether the operating system enabled the AVX state).
    __builtin_cpu_init();
    printf("cpu sse2 %d avx %d avx512 %d xop %d\n", !!__builtin_cpu_supports("sse2"),
           !!__builtin_cpu_supports("avx"),
           __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"),
           !!__builtin_cpu_supports("xop"));
    static uint8_t out[1024];
    for (size_t i = 0; i < derive_case_count; i++) {
        const derive_case &c = derive_cases[i];
        scrypt((const uint8_t *)c.password, c.password_len, (const uint8_t *)c.salt, c.salt_len,
               c.Nfactor, c.rfactor, c.pfactor, out, c.out_len);
        printf("case %zu ", i);
        for (size_t j = 0; j < c.out_len; j++) printf("%02x", out[j]);
        printf("\n");
    }
    for (size_t i = 0; i < key_case_count; i++) {
        const key_case &c = key_cases[i];
        const std::string password = key_case_input(i, 0), salt = key_case_input(i, 1);
        const int status = scrypt_derive_key((const uint8_t *)password.data(), password.size(),
                                             (const uint8_t *)salt.data(), salt.size(), c.N, c.r,
                                             c.p, out, c.out_len);
        printf("key %zu ", i);
        if (status != SCRYPT_OK) printf("status %d", status);
        for (size_t j = 0; status == SCRYPT_OK && j < c.out_len; j++) printf("%02x", out[j]);
        printf("\n");
    }
    printf("form %s\n", scrypt_select_form(detect_cpu())->name);
    return 0;
}
