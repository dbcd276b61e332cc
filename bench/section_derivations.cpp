// Section: whole derivations for every factor set, the library steady
// (buffers reused) and cold (buffers allocated and first touched), beside
// OpenSSL, libsodium and libscrypt-kdf, medians of interleaved rounds.
#include <stdio.h>
#include <string.h>

#include "bench.h"

#if SCRYPT_BENCH_OPENSSL
#include <openssl/evp.h>
#include <openssl/kdf.h>
#endif
#if SCRYPT_BENCH_SODIUM
#include <sodium.h>
#endif
#if SCRYPT_BENCH_SCRYPT_KDF
// The header declares C functions without a C++ guard.
extern "C" {
#include <scrypt-kdf.h>
}
#endif

namespace {

using namespace bench;

struct contender {
    const char *name;
    bool (*derive)(const factor_set &, uint8_t *out);
};

#if SCRYPT_BENCH_OPENSSL
bool openssl_derive(const factor_set &f, uint8_t *out) {
    return EVP_PBE_scrypt((const char *)password, password_len, salt, salt_len, f.N(), f.r(), f.p(),
                          uint64_t(1) << 40, out, out_len) == 1;
}
#endif
#if SCRYPT_BENCH_SODIUM
bool sodium_derive(const factor_set &f, uint8_t *out) {
    return crypto_pwhash_scryptsalsa208sha256_ll(password, password_len, salt, salt_len, f.N(),
                                                 f.r(), f.p(), out, out_len) == 0;
}
#endif
#if SCRYPT_BENCH_SCRYPT_KDF
bool scrypt_kdf_derive(const factor_set &f, uint8_t *out) {
    return scrypt_kdf(password, password_len, salt, salt_len, f.N(), f.r(), f.p(), out, out_len) ==
           0;
}
#endif

const contender peers[] = {
#if SCRYPT_BENCH_OPENSSL
    {"OpenSSL", openssl_derive},
#endif
#if SCRYPT_BENCH_SODIUM
    {"libsodium", sodium_derive},
#endif
#if SCRYPT_BENCH_SCRYPT_KDF
    {"scrypt-kdf", scrypt_kdf_derive},
#endif
    {nullptr, nullptr},
};
constexpr size_t peer_count = sizeof peers / sizeof peers[0] - 1;

// Rounds per factor set: enough for a steady median, within a few minutes.
int rounds_for(const factor_set &f) {
    const uint64_t work = f.N() * f.r() * f.p();
    if (work <= (1u << 12)) return 301;
    if (work <= (1u << 17)) return 61;
    if (work <= (1u << 20)) return 15;
    if (work <= (1u << 21)) return 9;
    if (work <= (1u << 25)) return 5;
    return 3;
}

struct derivation_row {
    factor_set f;
    double steady, cold;
    double peer[peer_count + 1];
    bool agree;
};

derivation_row measure_set(const factor_set &f) {
    derivation_row row{};
    row.f = f;
    row.agree = true;
    uint8_t expect[out_len], out[out_len];
    library_derive(f, expect);
    std::vector<double> steady, cold, peer[peer_count + 1];
    const int rounds = rounds_for(f);
    for (int round = 0; round < rounds; round++) {
        // Cold: other factors first, so that both buffers are released and
        // the timed call allocates and first touches new ones.  Steady: the
        // same factors again, straight after.
        library_derive(other_than(f), out);
        double t0 = now();
        library_derive(f, out);
        cold.push_back(now() - t0);
        row.agree &= memcmp(out, expect, out_len) == 0;
        t0 = now();
        library_derive(f, out);
        steady.push_back(now() - t0);
        row.agree &= memcmp(out, expect, out_len) == 0;
        for (size_t i = 0; i < peer_count; i++) {
            memset(out, 0, out_len);
            t0 = now();
            const bool ok = peers[i].derive(f, out);
            peer[i].push_back(now() - t0);
            row.agree &= ok && memcmp(out, expect, out_len) == 0;
        }
    }
    row.steady = median(steady);
    row.cold = median(cold);
    for (size_t i = 0; i < peer_count; i++) row.peer[i] = median(peer[i]);
    return row;
}

void section_derivations() {
    const char *missing[] = {
#if !SCRYPT_BENCH_OPENSSL
        "OpenSSL (libssl-dev)",
#endif
#if !SCRYPT_BENCH_SODIUM
        "libsodium (libsodium-dev)",
#endif
#if !SCRYPT_BENCH_SCRYPT_KDF
        "libscrypt-kdf (libscrypt-kdf-dev)",
#endif
        nullptr
    };
    for (const char **m = missing; *m; m++) printf("   peer not built (not found): %s\n", *m);
    if (missing[0]) printf("\n");

    printf("   %-11s %6s  %10s %10s", "(N,r,p)f", "rounds", "lib steady", "lib cold");
    for (size_t i = 0; i < peer_count; i++) printf(" %11s %11s", peers[i].name, "ratio s/c");
    printf("  %s\n", "outputs");
    std::vector<derivation_row> rows;
    for (const factor_set &f : sets) {
        const derivation_row row = measure_set(f);
        rows.push_back(row);
        char label[32];
        snprintf(label, sizeof label, "(%u,%u,%u)", f.Nfactor, f.rfactor, f.pfactor);
        printf("   %-11s %6d  %10s %10s", label, rounds_for(f), fmt_time(row.steady).c_str(),
               fmt_time(row.cold).c_str());
        for (size_t i = 0; i < peer_count; i++) {
            char ratio[32];
            snprintf(ratio, sizeof ratio, "%.2f/%.2f", row.peer[i] / row.steady,
                     row.peer[i] / row.cold);
            printf(" %11s %11s", fmt_time(row.peer[i]).c_str(), ratio);
        }
        printf("  %s\n", row.agree ? "agree" : "DIFFER");
        fflush(stdout);
    }
    // Give the largest table back before any later section runs.
    uint8_t out[out_len];
    library_derive(factor_set{3, 0, 0}, out);
    printf(
        "\n   Medians of interleaved rounds (cold, steady, then each peer, every round), thread "
        "CPU time.\n");
    printf(
        "   ratio s/c: peer time / library time, steady and cold; above 1 the library is "
        "faster.\n");
    printf("   The peers allocate their work memory on every call.\n\n");

    if (peer_count == 0) return;
    printf("   Goals (fastest peer per set):\n");
    for (const derivation_row &row : rows) {
        double best = row.peer[0];
        const char *best_name = peers[0].name;
        for (size_t i = 1; i < peer_count; i++)
            if (row.peer[i] < best) best = row.peer[i], best_name = peers[i].name;
        const bool cold_goal = row.f.Nfactor >= 13;
        printf("   (%u,%u,%u)%*s fastest peer %-10s %10s   steady %s (%.2fx)", row.f.Nfactor,
               row.f.rfactor, row.f.pfactor, row.f.Nfactor >= 10 ? 2 : 3, "", best_name,
               fmt_time(best).c_str(), row.steady <= best ? "met   " : "MISSED", best / row.steady);
        if (cold_goal)
            printf("   cold %s (%.2fx)", row.cold <= best ? "met   " : "MISSED", best / row.cold);
        if (row.steady > best && detect_cpu_seconds > 0)
            printf("   (steady less detect_cpu(): %s)",
                   fmt_time(row.steady - detect_cpu_seconds).c_str());
        printf("\n");
    }
    printf("\n");
}

}  // namespace

BENCH_SECTION(20, "derivations",
              "Whole derivations (password \"password\", salt \"NaCl\", 64 output bytes)",
              section_derivations)
