// Section: the password functions.  What scrypt_verify_password adds to the
// derivation it runs (parsing, the limit check, the comparison and the
// wipe), timed against scrypt_derive_key with the same password, salt and
// parameters, call for call in turn; and how long refusing a hostile string
// takes.  Wall-clock time, so that a derivation's work on other threads
// counts.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "bench.h"
#include "scrypt-vornik.h"

namespace {

using namespace bench;

double wall() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

const uint8_t pw[] = "correct horse";
constexpr size_t pw_len = sizeof pw - 1;

void verify_against_derive(uint64_t N, uint32_t r, uint32_t p, int rounds) {
    char stored[SCRYPT_PASSWORD_STRBYTES];
    if (scrypt_hash_password(stored, sizeof stored, pw, pw_len, N, r, p) != SCRYPT_OK) {
        printf("   N %llu, r %u, p %u: could not hash\n", (unsigned long long)N, r, p);
        return;
    }
    // The salt the string carries: its 43 characters after the parameters.
    const uint8_t *salt = (const uint8_t *)stored + 14;
    uint8_t key[32];
    std::vector<double> derive, verify;
    for (int i = 0; i < rounds; i++) {
        double t = wall();
        scrypt_derive_key(pw, pw_len, salt, 43, N, r, p, key, sizeof key);
        derive.push_back(wall() - t);
        t = wall();
        const int status = scrypt_verify_password(stored, pw, pw_len, 0);
        verify.push_back(wall() - t);
        if (status != SCRYPT_OK) {
            printf("   verify failed: %s\n", scrypt_strerror(status));
            return;
        }
    }
    const double d = median(derive), v = median(verify);
    printf("   N 2^%-2d r %u p %u   derive_key %10s   verify %10s   verify/derive %.4f (%+.2f%%)\n",
           __builtin_ctzll(N), r, p, fmt_time(d).c_str(), fmt_time(v).c_str(), v / d,
           100 * (v / d - 1));
}

void refusal(const char *what, const std::string &stored) {
    constexpr int calls = 20000;
    std::vector<double> each;
    int status = 0;
    for (int round = 0; round < 9; round++) {
        const double t = wall();
        for (int i = 0; i < calls; i++)
            status = scrypt_verify_password(stored.c_str(), pw, pw_len, 0);
        each.push_back((wall() - t) / calls);
    }
    printf("   %-44s %-24s %9.1f ns\n", what, scrypt_strerror(status), median(each) * 1e9);
}

void section_passwd() {
    printf("   %s\n", identify_processor().label().c_str());
    printf("   medians of alternating calls:\n");
    verify_against_derive(16, 1, 1, 20001);
    verify_against_derive(1 << 10, 8, 1, 801);
    verify_against_derive(1 << 14, 8, 1, 61);
    verify_against_derive(1 << 10, 8, 3, 301);
    printf("\n   refusing a hostile string (goal: under 1 ms):\n");
    const std::string key43 = std::string(43, '.');
    refusal("\"$7$\" N 2^30, r 255 (35 TB)", "$7$Sz1.../....abcdefgh$" + key43);
    refusal("\"$7$\" N 2^14, r 1, p 2^20 (2^34 work)", "$7$C/.......2.abcdefgh$" + key43);
    refusal("PHC ln 2^32 - 1", "$scrypt$ln=4294967295,r=8,p=1$c2FsdA$" + std::string(43, 'A'));
    refusal("PHC, 1024-byte salt, broken last character",
            "$scrypt$ln=30,r=8,p=1$" + std::string(1365, 'A') + "B$" + std::string(43, 'A'));
    refusal("\"$7$\", 100 000-character salt, no key", "$7$C6..../...." + std::string(100000, 'a'));
    printf("\n");
}

}  // namespace

BENCH_SECTION(47, "passwd", "Password strings: verify against derive_key, and hostile strings",
              section_passwd)
