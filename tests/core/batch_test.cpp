// scrypt_derive_keys(): every job's key against OpenSSL's, for batches that
// fill the lanes, leave groups part-filled, have more chunks than tables
// and fewer; a job that fails alone; the memory limit; the tables the
// calling thread keeps.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/batch.h"
#include "core/cache.h"
#include "dispatch/dispatch.h"
#include "scrypt-vornik.h"
#include "support/kept_buffers.h"
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
    // The tables the thread keeps stay within what was allowed: as many as
    // it has room for, at most one per chunk and at most as many as the
    // widest form mixes; without a limit, as many as are useful.
    const work_buffers &w = scrypt_thread_cache()->work;
    EXPECT_LE((uint64_t)w.tables * table(c.N, c.r), allowed);
    const uint64_t room = c.tables ? c.tables : UINT64_MAX;
    EXPECT_EQ(w.tables, std::min<uint64_t>({room, c.count * c.p, max_mix_lanes}));
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
    ASSERT_GT(w.tables, 1u);
    EXPECT_EQ(nonzero_kept_bytes(w), 0u);
}

// A batch whose output overlaps what another job reads or writes (or the
// jobs themselves) is refused whole, before anything is allocated or
// written, whatever the allowance; a job's output over its own inputs is
// derived from the inputs as they were when the call began.
struct overlap_case {
    const char *what;
    // Points job 0 or 1 somewhere in `a`, the bytes that the jobs' inputs
    // and outputs are carved from, or at the jobs array.
    void (*arrange)(scrypt_job *jobs, uint8_t *a);
    bool refused;
};

// Three jobs, each with password, salt and output of its own in `a`:
// job i's password at 100 i, salt at 100 i + 40, output (32 bytes) at
// 100 i + 60.
void separate(scrypt_job *jobs, uint8_t *a) {
    for (size_t i = 0; i < 3; i++)
        jobs[i] = {a + 100 * i, 24, a + 100 * i + 40, 16, a + 100 * i + 60, 32, 12345};
}

const overlap_case overlap_cases[] = {
    {"an output over another job's password",
     [](scrypt_job *j, uint8_t *) { j[0].out = (uint8_t *)j[1].password; }, true},
    {"an output over the last byte of another job's salt",
     [](scrypt_job *j, uint8_t *) { j[2].out = (uint8_t *)j[1].salt + 15; }, true},
    {"an output over another job's output",
     [](scrypt_job *j, uint8_t *) { j[1].out = j[0].out + 31; }, true},
    {"an output over the jobs", [](scrypt_job *j, uint8_t *) { j[1].out = (uint8_t *)(j + 2); },
     true},
    {"a password over the jobs, whose statuses the call writes",
     [](scrypt_job *j, uint8_t *) {
         j[1].password = (const uint8_t *)(j + 2);
         j[1].password_len = 4;
     },
     true},
    {"an output over its own password",
     [](scrypt_job *j, uint8_t *) { j[1].out = (uint8_t *)j[1].password + 8; }, false},
    {"an output over its own salt and password",
     [](scrypt_job *j, uint8_t *a) {
         j[0].password = a + 60;
         j[0].salt = a + 70;
     },
     false},
    {"an output that ends where another job's password begins",
     [](scrypt_job *j, uint8_t *) { j[0].out = (uint8_t *)j[1].password - 32; }, false},
    {"an empty output inside another job's password",
     [](scrypt_job *j, uint8_t *) {
         j[0].out = (uint8_t *)j[1].password + 4;
         j[0].out_len = 0;
     },
     false},
    {"jobs that share a password and a salt",
     [](scrypt_job *j, uint8_t *) {
         j[2].password = j[0].password;
         j[1].salt = j[0].salt;
     },
     false},
};

void PrintTo(const overlap_case &c, std::ostream *os) {
    *os << c.what;
}

class Overlap : public testing::TestWithParam<std::tuple<overlap_case, uint64_t>> {};

TEST_P(Overlap, OneAnswerForEveryAllowance) {
    const overlap_case &c = std::get<0>(GetParam());
    const uint64_t tables = std::get<1>(GetParam());
    constexpr uint64_t N = 64;
    constexpr uint32_t r = 2, p = 1;
    std::vector<uint8_t> a(300);
    for (size_t i = 0; i < a.size(); i++) a[i] = (uint8_t)(i * 7 + 1);
    scrypt_job jobs[3];
    separate(jobs, a.data());
    c.arrange(jobs, a.data());
    // The keys sequential calls would give, from the inputs as they are now.
    std::vector<std::vector<uint8_t>> want;
    for (const scrypt_job &j : jobs)
        want.push_back(*openssl_scrypt_nrp(std::string((const char *)j.password, j.password_len),
                                           std::string((const char *)j.salt, j.salt_len), N, r, p,
                                           j.out_len));
    // A call that leaves the thread holding buffers of another shape first.
    batch warm(1);
    ASSERT_EQ(scrypt_derive_keys(warm.jobs.data(), 1, 16, 1, 1, unlimited), SCRYPT_OK);
    const work_buffers held = scrypt_thread_cache()->work;
    const std::vector<uint8_t> before = a;
    const uint64_t allowed = tables ? tables * table(N, r) : unlimited;
    const int status = scrypt_derive_keys(jobs, 3, N, r, p, allowed);
    if (c.refused) {
        EXPECT_EQ(status, SCRYPT_ERR_PARAMETER);
        for (const scrypt_job &j : jobs) EXPECT_EQ(j.status, SCRYPT_ERR_PARAMETER);
        EXPECT_EQ(a, before) << "something was written";
        const work_buffers &now = scrypt_thread_cache()->work;
        EXPECT_EQ(now.V.raw, held.V.raw) << "the buffers were replaced";
        EXPECT_EQ(now.N, held.N);
    } else {
        ASSERT_EQ(status, SCRYPT_OK);
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(jobs[i].status, SCRYPT_OK) << "job " << i;
            EXPECT_EQ(std::vector<uint8_t>(jobs[i].out, jobs[i].out + jobs[i].out_len), want[i])
                << "job " << i;
        }
        EXPECT_EQ(scrypt_thread_cache()->work.tables, tables ? tables : 3);
    }
}

// One table (one chunk at a time), two, and as many as the batch has chunks.
INSTANTIATE_TEST_SUITE_P(Batches, Overlap,
                         testing::Combine(testing::ValuesIn(overlap_cases),
                                          testing::Values(1u, 2u, 0u)),
                         [](const testing::TestParamInfo<std::tuple<overlap_case, uint64_t>> &i) {
                             std::string n;
                             for (const char *c = std::get<0>(i.param).what; *c; c++)
                                 n += isalnum((unsigned char)*c) ? *c : '_';
                             const uint64_t t = std::get<1>(i.param);
                             n.append(t ? "_tables_" : "_unlimited");
                             if (t) n.append(std::to_string(t));
                             return n;
                         });

// For the single derivations, likewise: an output over the password and
// the salt gets the key of the inputs as they were.
TEST(Overlap, ASingleDerivationsOutputMayCoverItsInputs) {
    for (const bool key : {true, false}) {
        SCOPED_TRACE(key ? "scrypt_derive_key" : "scrypt");
        std::vector<uint8_t> a(100);
        for (size_t i = 0; i < a.size(); i++) a[i] = (uint8_t)(i * 5 + 3);
        const std::string password((const char *)a.data() + 10, 40),
            salt((const char *)a.data(), 20);
        const auto want = openssl_scrypt_nrp(password, salt, 64, 2, 2, 80);
        ASSERT_TRUE(want);
        if (key)
            ASSERT_EQ(
                scrypt_derive_key(a.data() + 10, 40, a.data(), 20, 64, 2, 2, a.data() + 5, 80),
                SCRYPT_OK);
        else
            scrypt(a.data() + 10, 40, a.data(), 20, 5, 1, 1, a.data() + 5, 80);
        EXPECT_EQ(std::vector<uint8_t>(a.begin() + 5, a.begin() + 85), *want);
    }
}

// A count that no array of jobs can have (its size would pass the address
// space) is refused, and nothing is written, not even the statuses.
TEST(Overlap, ImpossibleCountWritesNothing) {
    batch b(1);
    b.jobs[0].status = 12345;
    EXPECT_EQ(
        scrypt_derive_keys(b.jobs.data(), SIZE_MAX / sizeof(scrypt_job) + 1, 16, 1, 1, unlimited),
        SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(b.jobs[0].status, 12345);
}

// A large batch takes the overlap check's other path (its list on the
// heap): one overlap among thousands of jobs is found, and none is found
// where there is none.
TEST(Overlap, LargeBatches) {
    batch b(3000);
    ASSERT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 2, 1, 1, unlimited), SCRYPT_OK);
    EXPECT_EQ(b.wrong(2, 1, 1), std::vector<size_t>{});
    const std::vector<std::vector<uint8_t>> before = b.outs;
    const std::vector<std::string> salts = b.salts;
    b.jobs[2998].out = (uint8_t *)b.jobs[17].salt + 1;
    b.jobs[2998].out_len = 1;
    EXPECT_EQ(scrypt_derive_keys(b.jobs.data(), b.jobs.size(), 2, 1, 1, unlimited),
              SCRYPT_ERR_PARAMETER);
    for (const scrypt_job &j : b.jobs) EXPECT_EQ(j.status, SCRYPT_ERR_PARAMETER);
    EXPECT_EQ(b.outs, before);
    EXPECT_EQ(b.salts, salts);
}

}  // namespace
