// The whole derivation against OpenSSL's EVP_PBE_scrypt: fuzzed password,
// salt and output length, and small cost factors (N up to 64, r and p up to
// 4) so that an execution stays well under a millisecond.  Successive inputs
// usually change the factors, so the work buffers are replaced, and sometimes
// kept, from one execution to the next, as in a long-running host.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <memory>

#include "fuzz_support.h"
#include "scrypt-vornik.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t Nfactor = in.ConsumeIntegralInRange<uint8_t>(0, 5);
    const uint8_t rfactor = in.ConsumeIntegralInRange<uint8_t>(0, 2);
    const uint8_t pfactor = in.ConsumeIntegralInRange<uint8_t>(0, 2);
    const size_t out_len = in.ConsumeIntegralInRange<size_t>(0, 300);
    const bytes password = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 200));
    const bytes salt = in.ConsumeRemainingBytes<uint8_t>();

    // Exactly out_len bytes on the heap: a write past the end is an
    // AddressSanitizer report.
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_len + (out_len == 0)]);
    scrypt(password.data(), password.size(), salt.data(), salt.size(), Nfactor, rfactor, pfactor,
           out.get(), out_len);
    if (out_len == 0) return 0;  // OpenSSL refuses an empty key

    bytes want(out_len);
    require(EVP_PBE_scrypt(password.empty() ? "" : (const char *)password.data(), password.size(),
                           salt.data(), salt.size(), uint64_t(2) << Nfactor, uint64_t(1) << rfactor,
                           uint64_t(1) << pfactor, 0, want.data(), out_len) == 1,
            "EVP_PBE_scrypt refused the parameters");
    require_equal("scrypt() against EVP_PBE_scrypt", out.get(), want.data(), out_len);
    return 0;
}
