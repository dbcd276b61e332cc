// scrypt_derive_key(): keys for any N, r and p against OpenSSL's, through
// the entry point and through the derivation core with every mixing form this
// processor runs (the table in support/key_cases.h); parameters that are refused, each with its
// status, nothing written and no handler called; scrypt_strerror().
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "core/derive.h"
#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "oracle.h"
#include "rejected.h"
#include "scrypt-vornik.h"
#include "support/forms.h"
#include "support/key_cases.h"

namespace {

// How a key is derived: through the entry point, or by the core with one
// named form.
struct entry {
    const char *name;  // "scrypt_derive_key", or a form's name
};

void PrintTo(const entry &e, std::ostream *os) {
    *os << e.name;
}

std::vector<entry> entries() {
    std::vector<entry> e = {{"scrypt_derive_key"}};
    for (unsigned i = 0; i < scrypt_mix_form_count; i++) e.push_back({scrypt_mix_forms[i].name});
    return e;
}

class DeriveKey : public testing::TestWithParam<entry> {};

TEST_P(DeriveKey, KeysMatchOpenSSL) {
    const mix_form *form =
        strcmp(GetParam().name, "scrypt_derive_key") ? form_named(GetParam().name) : nullptr;
    if (form && !scrypt_form_runs(form, detect_cpu()))
        GTEST_SKIP() << "this processor cannot run the " << form->name << " form";
    work_buffers work = {};
    for (size_t i = 0; i < key_case_count; i++) {
        const key_case &c = key_cases[i];
        const std::string password = key_case_input(i, 0), salt = key_case_input(i, 1);
        bytes out(c.out_len + 1, 0xa5);  // one byte past the key must stay as it is
        int status;
        if (form)
            status = scrypt_derive_in(&work, (const uint8_t *)password.data(), password.size(),
                                      (const uint8_t *)salt.data(), salt.size(), c.N, c.r, c.p,
                                      out.data(), c.out_len, form->romix) == DERIVE_OK
                         ? SCRYPT_OK
                         : SCRYPT_ERR_MEMORY;
        else
            status = scrypt_derive_key((const uint8_t *)password.data(), password.size(),
                                       (const uint8_t *)salt.data(), salt.size(), c.N, c.r, c.p,
                                       out.data(), c.out_len);
        ASSERT_EQ(status, SCRYPT_OK) << describe(c);
        EXPECT_EQ(out.back(), 0xa5) << describe(c);
        out.pop_back();
        const auto want = openssl_scrypt_nrp(password, salt, c.N, c.r, c.p, c.out_len);
        ASSERT_TRUE(want) << "OpenSSL refused " << describe(c);
        EXPECT_EQ(out, *want) << describe(c);
    }
    scrypt_release_work(&work);
}

INSTANTIATE_TEST_SUITE_P(Entries, DeriveKey, testing::ValuesIn(entries()),
                         [](const testing::TestParamInfo<entry> &info) {
                             return std::string(info.param.name);
                         });

// A handler that records: scrypt_derive_key() must never call it.
std::vector<std::string> reports;
void record(const char *message) {
    reports.push_back(message);
}

struct refused_case {
    uint64_t N;
    uint32_t r, p;
    uint64_t out_len;
};

// Each parameter out of range by itself, around each bound, and in the
// products that could wrap.
const refused_case refused[] = {
    {0, 1, 1, 16},
    {1, 1, 1, 16},
    {3, 1, 1, 16},
    {6, 1, 1, 16},
    {1000, 1, 1, 16},
    {(uint64_t(1) << 31) + 2, 1, 1, 16},
    {uint64_t(1) << 32, 1, 1, 16},
    {uint64_t(1) << 63, 1, 1, 16},
    {UINT64_MAX, 1, 1, 16},
    {16, 0, 1, 16},
    {16, 1, 0, 16},
    {16, 0, 0, 16},
    {16, uint32_t(1) << 30, 1, 16},
    {16, 1, uint32_t(1) << 30, 16},
    {16, uint32_t(1) << 15, uint32_t(1) << 15, 16},
    {16, 3, 357913942, 16},  // 3 * p = 2^30 + 2
    {16, UINT32_MAX, UINT32_MAX, 16},
    {16, 1, 1, max_output_len + 1},
    {16, 1, 1, UINT64_MAX},
};

// Refused calls: the status, not a byte written, no report to the handler.
TEST(DeriveKeyRefuses, EachParameterOutOfRange) {
    scrypt_set_fatal_error(record);
    reports.clear();
    for (const refused_case &c : refused) {
        uint8_t canary[16];
        memset(canary, 0x5a, sizeof canary);
        EXPECT_EQ(scrypt_derive_key((const uint8_t *)"pw", 2, (const uint8_t *)"salt", 4, c.N, c.r,
                                    c.p, canary, (size_t)c.out_len),
                  SCRYPT_ERR_PARAMETER)
            << "N " << c.N << " r " << c.r << " p " << c.p << " length " << c.out_len;
        for (uint8_t b : canary) ASSERT_EQ(b, 0x5a) << "N " << c.N << " r " << c.r << " p " << c.p;
    }
    EXPECT_TRUE(reports.empty()) << reports.front();
    scrypt_set_fatal_error(nullptr);
}

TEST(DeriveKey, NullPointersWithZeroLengths) {
    EXPECT_EQ(scrypt_derive_key(nullptr, 0, nullptr, 0, 16, 3, 3, nullptr, 0), SCRYPT_OK);
    uint8_t out[24];
    ASSERT_EQ(scrypt_derive_key(nullptr, 0, nullptr, 0, 16, 3, 3, out, sizeof out), SCRYPT_OK);
    EXPECT_EQ(bytes(out, out + sizeof out), openssl_scrypt_nrp("", "", 16, 3, 3, sizeof out));
}

// Both entry points give the same key for parameters that scrypt() can
// express, whichever comes first and whatever buffers each holds.
TEST(DeriveKey, SameKeysAsScrypt) {
    const struct {
        unsigned Nfactor, rfactor, pfactor;
    } sets[] = {{3, 0, 0}, {9, 3, 4}, {4, 2, 1}, {0, 8, 0}, {9, 3, 4}};
    for (const auto &f : sets) {
        uint8_t a[40], b[40];
        scrypt((const uint8_t *)"pw", 2, (const uint8_t *)"NaCl", 4, (uint8_t)f.Nfactor,
               (uint8_t)f.rfactor, (uint8_t)f.pfactor, a, sizeof a);
        ASSERT_EQ(scrypt_derive_key((const uint8_t *)"pw", 2, (const uint8_t *)"NaCl", 4,
                                    uint64_t(2) << f.Nfactor, uint32_t(1) << f.rfactor,
                                    uint32_t(1) << f.pfactor, b, sizeof b),
                  SCRYPT_OK);
        EXPECT_EQ(bytes(a, a + sizeof a), bytes(b, b + sizeof b))
            << f.Nfactor << "," << f.rfactor << "," << f.pfactor;
    }
}

TEST(Strerror, EveryStatusHasItsOwnTextAndUnknownOnesShareOne) {
    const int known[] = {SCRYPT_OK,           SCRYPT_ERR_PARAMETER, SCRYPT_ERR_MEMORY,
                         SCRYPT_ERR_SELFTEST, SCRYPT_ERR_BUFFER,    SCRYPT_ERR_RANDOM,
                         SCRYPT_ERR_MISMATCH, SCRYPT_ERR_FORMAT,    SCRYPT_ERR_LIMIT};
    // The statuses are 0 and -1 to -8, each once.
    std::set<int> values(std::begin(known), std::end(known));
    EXPECT_EQ(values.size(), 9u);
    EXPECT_EQ(*values.begin(), -8);
    EXPECT_EQ(*values.rbegin(), 0);
    const std::string unknown = scrypt_strerror(1);
    std::set<std::string> texts;
    for (int s : known) {
        const char *t = scrypt_strerror(s);
        ASSERT_NE(t, nullptr);
        EXPECT_GT(strlen(t), 0u);
        EXPECT_EQ(t, scrypt_strerror(s)) << "the same constant text each time";
        EXPECT_NE(t, unknown) << s;
        texts.insert(t);
    }
    EXPECT_EQ(texts.size(), 9u) << "each status has a text of its own";
    for (int s : {-9, 2, 100, -100, INT_MIN, INT_MAX}) EXPECT_EQ(scrypt_strerror(s), unknown) << s;
    EXPECT_EQ(std::string(scrypt_strerror(SCRYPT_ERR_MEMORY)), "out of memory");
}

}  // namespace
