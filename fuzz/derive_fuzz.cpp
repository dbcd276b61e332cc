// The whole derivation against OpenSSL's EVP_PBE_scrypt: fuzzed password,
// salt and output length, and small cost factors (N up to 64, r and p up to
// 4) so that an execution stays well under a millisecond.  Successive inputs
// usually change the factors, so the work buffers are replaced, and sometimes
// kept, from one execution to the next, as in a long-running host.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "fuzz_support.h"
#include "scrypt-vornik.h"
#include "support/openssl_scrypt.h"

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
    bytes want(out_len);
    require(openssl_scrypt_into(password.data(), password.size(), salt.data(), salt.size(), Nfactor,
                                rfactor, pfactor, want.data(), out_len),
            "EVP_PBE_scrypt refused the parameters");
    require_equal("scrypt() against EVP_PBE_scrypt", out.get(), want.data(), out_len);
    return 0;
}
