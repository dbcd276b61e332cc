// scrypt_derive_keys(): every job's key against OpenSSL's, for batches that
// fill the lanes, leave groups part-filled, have more chunks than tables
// and fewer; a job that fails alone; the memory limit; the tables the
// calling thread keeps.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/batch.h"
#include "core/cache.h"
#include "dispatch/dispatch.h"
#include "scrypt-vornik.h"
#include "support/openssl_scrypt.h"

namespace {

// Jobs with passwords, salts and output lengths that all differ.
struct batch {
    std::vector<std::string> passwords, salts;
    std::vector<std::vector<uint8_t>> outs;
    std::vector<scrypt_job> jobs;
    explicit batch(size_t count, size_t seed = 0) {
        for (size_t i = 0; i < count; i++) {
            passwords.push_back("password " + std::to_string(i * 7 + seed) +
                                std::string(i % 5 * 13, 'x'));
            salts.push_back(std::string(i % 3, 's') + "salt " + std::to_string(i + seed));
            outs.emplace_back(i % 4 == 3 ? 0 : 16 + 24 * (i % 5), 0xee);
        }
        for (size_t i = 0; i < count; i++)
            jobs.push_back({(const uint8_t *)passwords[i].data(), passwords[i].size(),
                            (const uint8_t *)salts[i].data(), salts[i].size(), outs[i].data(),
                            outs[i].size(), 12345});
    }
    // The jobs whose key differs from OpenSSL's (by index).
    std::vector<size_t> wrong(uint64_t N, uint32_t r, uint32_t p) const {
        std::vector<size_t> w;
        for (size_t i = 0; i < jobs.size(); i++)
            if (outs[i] != openssl_scrypt_nrp(passwords[i], salts[i], N, r, p, outs[i].size()))
                w.push_back(i);
        return w;
    }
};

constexpr uint64_t unlimited = UINT64_MAX;
uint64_t table(uint64_t N, uint32_t r) {
    return N * 128 * r;
}

struct batch_case {
    const char *what;
    uint64_t N;
    uint32_t r, p;
    size_t count;
    uint64_t tables;  // the memory allowed, in tables (0: no limit)
};

void PrintTo(const batch_case &c, std::ostream *os) {
    *os << c.what;
}

class Batch : public testing::TestWithParam<batch_case> {};

TEST_P(Batch, EveryJobsKeyIsOpenSsls) {
    const batch_case &c = GetParam();
    batch b(c.count, c.N + c.r);
    const uint64_t allowed = c.tables ? c.tables * table(c.N, c.r) : unlimited;
    ASSERT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), c.N, c.r, c.p, allowed), SCRYPT_OK);
    for (const scrypt_job &j : b.jobs) EXPECT_EQ(j.status, SCRYPT_OK);
    EXPECT_EQ(b.wrong(c.N, c.r, c.p), std::vector<size_t>{});
    // The tables the thread keeps stay within what was allowed.
    const work_buffers &w = scrypt_thread_cache()->work;
    EXPECT_LE((uint64_t)w.tables * table(c.N, c.r), allowed);
    if (c.tables) {
        EXPECT_EQ(w.tables, std::min<uint64_t>({c.tables, c.count * c.p, max_mix_lanes}));
    }
}

const batch_case batch_cases[] = {
    {"one job one chunk", 16, 1, 1, 1, 0},
    {"16 jobs fill the widest form", 32, 2, 1, 16, 0},
    {"17 jobs, a group of one left", 16, 1, 1, 17, 0},
    {"odd r, 5 jobs, partial group", 64, 3, 1, 5, 0},
    {"p = 3 jobs side by side", 32, 1, 3, 6, 0},
    {"p = 16 one job, room for 16 tables", 1024, 8, 16, 1, 16},
    {"p = 5, room for 2 tables", 16, 5, 5, 3, 2},
    {"room for one table: one chunk at a time", 64, 1, 2, 4, 1},
    {"room for 3 tables, 64 jobs", 16, 1, 1, 64, 3},
    {"p larger than the tables", 16, 1, 40, 2, 0},
};

INSTANTIATE_TEST_SUITE_P(Batches, Batch, testing::ValuesIn(batch_cases),
                         [](const testing::TestParamInfo<batch_case> &i) {
                             std::string n;
                             for (const char *c = i.param.what; *c; c++)
                                 n += isalnum((unsigned char)*c) ? *c : '_';
                             return n;
                         });

TEST(Batch, AJobWhoseOutputCannotBeMadeFailsAlone) {
    batch b(6);
    std::vector<uint8_t> before = b.outs[2];
    b.jobs[2].out_len = (size_t)(((uint64_t(1) << 32) - 1) * 32 + 1);  // never written
    EXPECT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 64, 2, 2, unlimited),
              SCRYPT_ERR_PARAMETER);
    for (size_t i = 0; i < b.jobs.size(); i++)
        EXPECT_EQ(b.jobs[i].status, i == 2 ? SCRYPT_ERR_PARAMETER : SCRYPT_OK) << "job " << i;
    EXPECT_EQ(b.outs[2], before) << "the failed job's output was written";
    b.jobs[2].out_len = 0;  // so that the oracle's comparison skips it
    b.outs[2].clear();
    EXPECT_EQ(b.wrong(64, 2, 2), std::vector<size_t>{});
}

TEST(Batch, LessMemoryThanOneTableIsRefusedBeforeAnythingIsAllocated) {
    // A call that leaves the thread holding small buffers first.
    batch warm(1);
    ASSERT_EQ(scrypt_derive_keys(warm.jobs.data(), 1, 16, 1, 1, unlimited), SCRYPT_OK);
    const work_buffers held = scrypt_thread_cache()->work;
    batch b(3);
    const std::vector<std::vector<uint8_t>> before = b.outs;
    EXPECT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 1024, 8, 1, table(1024, 8) - 1),
              SCRYPT_ERR_LIMIT);
    for (const scrypt_job &j : b.jobs) EXPECT_EQ(j.status, SCRYPT_ERR_LIMIT);
    EXPECT_EQ(b.outs, before);
    const work_buffers &now = scrypt_thread_cache()->work;
    EXPECT_EQ(now.V.raw, held.V.raw) << "the buffers were replaced";
    EXPECT_EQ(now.N, held.N);
    // Exactly one table is enough.
    EXPECT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 1024, 8, 1, table(1024, 8)),
              SCRYPT_OK);
    EXPECT_EQ(b.wrong(1024, 8, 1), std::vector<size_t>{});
}

TEST(Batch, BadParametersFailEveryJob) {
    batch b(2);
    const struct {
        uint64_t N;
        uint32_t r, p;
    } bad[] = {{3, 1, 1}, {0, 1, 1}, {16, 0, 1}, {16, 1, 0}, {16, 1u << 15, 1u << 15}};
    for (const auto &c : bad) {
        SCOPED_TRACE(testing::Message() << "N " << c.N << " r " << c.r << " p " << c.p);
        EXPECT_EQ(scrypt_derive_keys(b.jobs.data(), 2, c.N, c.r, c.p, unlimited),
                  SCRYPT_ERR_PARAMETER);
        for (const scrypt_job &j : b.jobs) EXPECT_EQ(j.status, SCRYPT_ERR_PARAMETER);
    }
    EXPECT_EQ(scrypt_derive_keys(nullptr, 1, 16, 1, 1, unlimited), SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(scrypt_derive_keys(nullptr, 0, 16, 1, 1, unlimited), SCRYPT_OK);
}

TEST(Batch, KeysEqualScryptDeriveKeysAndTheBuffersAreWiped) {
    batch b(9);
    ASSERT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 128, 2, 2, unlimited), SCRYPT_OK);
    for (size_t i = 0; i < b.jobs.size(); i++) {
        std::vector<uint8_t> key(b.outs[i].size());
        ASSERT_EQ(scrypt_derive_key(b.jobs[i].password, b.jobs[i].password_len, b.jobs[i].salt,
                                    b.jobs[i].salt_len, 128, 2, 2, key.data(), key.size()),
                  SCRYPT_OK);
        EXPECT_EQ(key, b.outs[i]) << "job " << i;
    }
    // The last call was scrypt_derive_key()'s; one more batch, then every
    // byte the thread's buffers hold is zero.
    ASSERT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 128, 2, 2, unlimited), SCRYPT_OK);
    const work_buffers &w = scrypt_thread_cache()->work;
    const size_t chunk = 128 * 2;
    const batch_shape s = {w.tables, 0, w.p, w.lane_chunks};
    size_t nonzero = 0;
    for (size_t i = 0; i < (size_t)w.tables * 128 * chunk; i++) nonzero += w.V.aligned[i] != 0;
    for (size_t i = 0; i < chunk * (1 + (size_t)s.b_chunks + s.lane_chunks); i++)
        nonzero += w.YX.aligned[i] != 0;
    EXPECT_EQ(nonzero, 0u);
}

}  // namespace
