// Whole derivations against OpenSSL's EVP_PBE_scrypt, through both entry
// points: fuzzed password, salt and output length, and
//   - scrypt() with small cost factors (N up to 64, r and p up to 4);
//   - scrypt_derive_key() with arbitrary N, r and p: those it must refuse
//     (N not a power of two or out of range, r or p zero, r * p of 2^30 or
//     more) give SCRYPT_ERR_PARAMETER with nothing written; those it accepts
//     are derived when they stay within a memory cap (table and work space
//     up to 4 MiB, and a small cost, so that an execution stays short), and
//     compared with OpenSSL.
// Successive inputs usually change the parameters, so the work buffers are
// replaced, and sometimes kept, from one execution to the next, as in a
// long-running host.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "fuzz_support.h"
#include "scrypt-vornik.h"
#include "support/openssl_scrypt.h"

namespace {

constexpr uint64_t memory_cap = uint64_t(4) << 20;
constexpr uint64_t cost_cap = uint64_t(1) << 17;  // N * r * p

// Mostly a power of two small enough to derive, sometimes any power of two,
// sometimes anything.
uint64_t consume_N(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<unsigned>(0, 3)) {
        case 0:
        case 1:
            return uint64_t(1) << in.ConsumeIntegralInRange<unsigned>(1, 14);
        case 2:
            return uint64_t(1) << in.ConsumeIntegralInRange<unsigned>(0, 63);
        default:
            return in.ConsumeIntegral<uint64_t>();
    }
}

// Small values mostly, the bounds' neighbourhood and anything otherwise.
uint32_t consume_factor(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange<unsigned>(0, 3)) {
        case 0:
        case 1:
            return in.ConsumeIntegralInRange<uint32_t>(0, 40);
        case 2:
            return (uint32_t(1) << in.ConsumeIntegralInRange<unsigned>(0, 31)) +
                   in.ConsumeIntegralInRange<uint32_t>(0, 2) - 1;
        default:
            return in.ConsumeIntegral<uint32_t>();
    }
}

bool acceptable(uint64_t N, uint32_t r, uint32_t p, size_t out_len) {
    return N >= 2 && N <= (uint64_t(1) << 31) && (N & (N - 1)) == 0 && r >= 1 && p >= 1 &&
           uint64_t(r) * p < (uint64_t(1) << 30) && out_len <= ((uint64_t(1) << 32) - 1) * 32;
}

void derive_with_scrypt(FuzzedDataProvider &in, size_t out_len, const bytes &password,
                        const bytes &salt) {
    const uint8_t Nfactor = in.ConsumeIntegralInRange<uint8_t>(0, 5);
    const uint8_t rfactor = in.ConsumeIntegralInRange<uint8_t>(0, 2);
    const uint8_t pfactor = in.ConsumeIntegralInRange<uint8_t>(0, 2);
    // Exactly out_len bytes on the heap: a write past the end is an
    // AddressSanitizer report.
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_len + (out_len == 0)]);
    scrypt(password.data(), password.size(), salt.data(), salt.size(), Nfactor, rfactor, pfactor,
           out.get(), out_len);
    bytes want(out_len);
    require(openssl_scrypt_into(password.data(), password.size(), salt.data(), salt.size(), Nfactor,
                                rfactor, pfactor, want.data(), out_len),
            "EVP_PBE_scrypt refused the parameters");
    require_equal("scrypt() against EVP_PBE_scrypt", out.get(), want.data(), out_len);
}

void derive_with_derive_key(FuzzedDataProvider &in, size_t out_len, const bytes &password,
                            const bytes &salt) {
    const uint64_t N = consume_N(in);
    const uint32_t r = consume_factor(in), p = consume_factor(in);
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_len + 1]);
    out[out_len] = 0xa5;
    if (!acceptable(N, r, p, out_len)) {
        for (size_t i = 0; i < out_len; i++) out[i] = (uint8_t)i;
        require(scrypt_derive_key(password.data(), password.size(), salt.data(), salt.size(), N, r,
                                  p, out.get(), out_len) == SCRYPT_ERR_PARAMETER,
                "scrypt_derive_key() did not refuse the parameters");
        for (size_t i = 0; i < out_len; i++)
            require(out[i] == (uint8_t)i, "a refused call wrote its output");
        return;
    }
    // Within the caps; N * r and p * r cannot overflow here.
    if (N > memory_cap || uint64_t(r) > memory_cap / 128 ||
        (N + p + 1) * 128 * uint64_t(r) > memory_cap || N * r * p > cost_cap)
        return;
    require(scrypt_derive_key(password.data(), password.size(), salt.data(), salt.size(), N, r, p,
                              out.get(), out_len) == SCRYPT_OK,
            "scrypt_derive_key() failed within the memory cap");
    require(out[out_len] == 0xa5, "scrypt_derive_key() wrote past the output");
    bytes want(out_len);
    // OpenSSL refuses N >= 2^(16 r), which only r = 1 reaches under the cap.
    if (!openssl_scrypt_nrp_into(password.data(), password.size(), salt.data(), salt.size(), N, r,
                                 p, want.data(), out_len))
        return;
    require_equal("scrypt_derive_key() against EVP_PBE_scrypt", out.get(), want.data(), out_len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool new_api = in.ConsumeBool();
    const size_t out_len = in.ConsumeIntegralInRange<size_t>(0, 300);
    // The parameters from a fixed-size piece of their own, so that the
    // password and salt do not shift when they change.
    const bytes parameters = in.ConsumeBytes<uint8_t>(24);
    FuzzedDataProvider params(parameters.data(), parameters.size());
    const bytes password = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 200));
    const bytes salt = in.ConsumeRemainingBytes<uint8_t>();
    if (new_api)
        derive_with_derive_key(params, out_len, password, salt);
    else
        derive_with_scrypt(params, out_len, password, salt);
    return 0;
}
