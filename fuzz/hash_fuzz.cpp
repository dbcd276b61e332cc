// The hash layer against OpenSSL: SHA-256 fed in fuzzed splits, HMAC-SHA-256
// with a fuzzed key (short, block-sized and over-long) and a message in
// fuzzed splits, and single-iteration PBKDF2-HMAC-SHA-256 with fuzzed
// password, salt and output length.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <memory>

#include "fuzz_support.h"
#include "hash/hash.h"

namespace {

// Cuts `m` into pieces whose sizes come from `sizes` in turn (0 included:
// empty updates), the rest in one piece, and hands them to `update`.
template <class Update>
void feed(const bytes &m, const bytes &sizes, Update update) {
    size_t at = 0;
    for (uint8_t s : sizes) {
        size_t take = s < m.size() - at ? s : m.size() - at;
        update(m.data() + at, take);
        at += take;
    }
    update(m.data() + at, m.size() - at);
}

bool all_zero(const void *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (((const uint8_t *)p)[i] != 0) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bytes splits = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8));
    const size_t key_len = in.ConsumeIntegralInRange<size_t>(0, 160);
    const size_t out_len = in.ConsumeIntegralInRange<size_t>(0, 300);
    const bytes key = in.ConsumeBytes<uint8_t>(key_len);
    const bytes message = in.ConsumeRemainingBytes<uint8_t>();
    static const uint8_t empty = 0;
    const uint8_t *key_ptr = key.empty() ? &empty : key.data();
    const uint8_t *message_ptr = message.empty() ? &empty : message.data();

    // SHA-256, split and one-shot.
    uint8_t want[32], got[32];
    SHA256(message_ptr, message.size(), want);
    hash_context h;
    scrypt_hash_init(&h);
    feed(message, splits, [&](const uint8_t *p, size_t n) { scrypt_hash_update(&h, p, n); });
    scrypt_hash_finish(&h, got);
    require_equal("SHA-256 in splits", got, want, 32);
    scrypt_hash(got, message_ptr, message.size());
    require_equal("SHA-256 one-shot", got, want, 32);

    // HMAC, split, and a copy of the keyed context taken half-way that must
    // finish to the same MAC on its own.
    unsigned want_len = 32;
    HMAC(EVP_sha256(), key_ptr, (int)key.size(), message_ptr, message.size(), want, &want_len);
    hmac_context mac, fork;
    scrypt_hmac_init(&mac, key_ptr, key.size());
    const size_t half = message.size() / 2;
    scrypt_hmac_update(&mac, message_ptr, half);
    fork = mac;
    bytes rest(message.begin() + (long)half, message.end());
    feed(rest, splits, [&](const uint8_t *p, size_t n) { scrypt_hmac_update(&mac, p, n); });
    scrypt_hmac_finish(&mac, got);
    require_equal("HMAC-SHA-256 in splits", got, want, 32);
    require(all_zero(&mac, sizeof mac), "HMAC context not wiped by finish");
    scrypt_hmac_update(&fork, rest.empty() ? &empty : rest.data(), rest.size());
    scrypt_hmac_finish(&fork, got);
    require_equal("HMAC-SHA-256 from a copied context", got, want, 32);

    // PBKDF2 with c = 1: the key is the password, the message the salt.
    // Exactly out_len bytes on the heap, so an overrun is a sanitizer report.
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_len + (out_len == 0)]);
    scrypt_pbkdf2(key_ptr, key.size(), message_ptr, message.size(), out.get(), out_len);
    if (out_len > 0) {
        bytes want_dk(out_len);
        require(PKCS5_PBKDF2_HMAC(key.empty() ? "" : (const char *)key.data(), (int)key.size(),
                                  message_ptr, (int)message.size(), 1, EVP_sha256(), (int)out_len,
                                  want_dk.data()) == 1,
                "PKCS5_PBKDF2_HMAC failed");
        require_equal("PBKDF2-HMAC-SHA-256 (c = 1)", out.get(), want_dk.data(), out_len);
    }
    return 0;
}
