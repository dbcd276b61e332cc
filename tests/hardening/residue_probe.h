// A probe for what a derivation leaves behind in the process's memory.
//
// The needles are the 64-byte blocks of B0 = PBKDF2-HMAC-SHA-256(password,
// salt, 1, p * 128 * r), the state that ROMix starts from: anyone who finds
// one can test password guesses at the cost of one PBKDF2 each.  Each block
// is looked for in natural word order and in the vector forms' tangled
// order, at every byte offset of every writable mapping of the process.
//
// The probe must not find its own needles.  It keeps them only masked (XORed
// with a random 64-byte mask), wipes the plain B0 as soon as the masked
// copies exist, and unmasks memory on the fly while it compares, a word at a
// time.  It allocates nothing while it scans, so the mappings stay as listed.
//
// Everything runs in a child process (tests/support/child.h): the needles
// are made, the derivation runs (or not) and the scan reports there, away
// from whatever else the test process holds.
#pragma once

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "scrypt-vornik.h"
#include "support/build_kind.h"
#include "support/child.h"

namespace residue {

// Ends the child with status 102 when the call under the probe failed: a
// call that stops before it derives leaves nothing behind, and must not pass
// for one that cleared what it left.
inline void require_ok(int status, const char *call) {
    if (status == SCRYPT_OK) return;
    fprintf(stderr, "%s failed: %s\n", call, scrypt_strerror(status));
    fflush(stderr);
    _exit(102);
}

struct factors {
    uint8_t N, r, p;
};

// Position k of a tangled block holds word P[k] of the natural block.
constexpr unsigned tangle[16] = {0, 5, 10, 15, 12, 1, 6, 11, 8, 13, 2, 7, 4, 9, 14, 3};

struct needle {
    uint8_t masked[64];  // the block XOR the mask
    uint32_t chunk, block;
    bool tangled;
    const char *source;  // whose B0 (a label chosen by the caller)
    // Other needles (see call_traces.h): their length, 16 to 64 bytes, and
    // what they are a piece of; null for the blocks of B0.
    unsigned len = 64;
    const char *kind = nullptr;
    unsigned offset = 0;  // where the piece starts in what it is cut from
};

struct hit {
    const needle *n;
    const uint8_t *at;
};

class probe {
  public:
    probe() {
        if (RAND_bytes(mask_, sizeof mask_) != 1) abort();
        memcpy(&mask_word_, mask_, sizeof mask_word_);
    }

    // Adds the blocks of B0 for this password, salt and factors, both orders.
    // False when OpenSSL refuses.
    bool add_b0(const std::string &password, const std::string &salt, factors f,
                const char *source) {
        const size_t chunk = size_t(128) << f.r, p = size_t(1) << f.p;
        std::vector<uint8_t> b0(p * chunk);
        const bool ok =
            PKCS5_PBKDF2_HMAC(password.data(), (int)password.size(), (const uint8_t *)salt.data(),
                              (int)salt.size(), 1, EVP_sha256(), (int)b0.size(), b0.data()) == 1;
        for (size_t i = 0; ok && i < b0.size() / 64; i++) {
            const uint8_t *block = b0.data() + 64 * i;
            needle natural{}, tangled{};
            natural.chunk = tangled.chunk = uint32_t(i * 64 / chunk);
            natural.block = tangled.block = uint32_t(i % (chunk / 64));
            natural.source = tangled.source = source;
            tangled.tangled = true;
            for (unsigned k = 0; k < 64; k++) {
                natural.masked[k] = block[k] ^ mask_[k];
                tangled.masked[k] = block[4 * tangle[k / 4] + k % 4] ^ mask_[k];
            }
            needles_.push_back(natural);
            needles_.push_back(tangled);
        }
        OPENSSL_cleanse(b0.data(), b0.size());
        return ok;
    }

    // Adds the 16-byte pieces of a secret, one at every multiple of 4 bytes
    // and one at its end (or the whole of a shorter secret).
    void add_pieces(const uint8_t *secret, size_t len, const char *kind) {
        const size_t piece = len < 16 ? len : 16;
        for (size_t at = 0;; at += 4) {
            if (at + piece > len) at = len - piece;
            needle n{};
            n.len = unsigned(piece);
            n.kind = kind;
            n.offset = unsigned(at);
            for (size_t k = 0; k < piece; k++) n.masked[k] = secret[at + k] ^ mask_[k];
            needles_.push_back(n);
            if (at + piece == len) break;
        }
    }

    // Scans every writable mapping; returns the hits (at most `limit`).
    std::vector<hit> scan(size_t limit = 64) {
        index();
        hits_.assign(limit, hit{});
        found_ = 0;
        read_mappings();
        for (size_t i = 0; i < region_count_; i++) scan_region(regions_[i].lo, regions_[i].hi);
        hits_.resize(found_);
        return hits_;
    }

  private:
    struct region {
        const uint8_t *lo, *hi;
    };
    struct key {
        uint64_t masked_head;  // first 8 bytes, masked
        const needle *n;
        bool operator<(const key &o) const { return masked_head < o.masked_head; }
    };

    uint8_t mask_[64];
    uint64_t mask_word_;
    std::vector<needle> needles_;
    std::vector<key> keys_;
    std::vector<uint64_t> filter_;  // one bit per value of a key's top 16 bits
    std::vector<hit> hits_;
    size_t found_ = 0;
    // Filled before the scan, so that listing the mappings allocates nothing
    // that the scan could trip over.
    region regions_[4096];
    size_t region_count_ = 0;
    char maps_[1 << 18];

    void index() {
        keys_.clear();
        for (const needle &n : needles_) {
            uint64_t head;
            memcpy(&head, n.masked, sizeof head);
            keys_.push_back({head, &n});
        }
        std::sort(keys_.begin(), keys_.end());
        filter_.assign(1 << 10, 0);
        for (const key &k : keys_)
            filter_[k.masked_head >> 54] |= uint64_t(1) << (k.masked_head >> 48 & 63);
    }

    // The writable mappings as /proc/self/maps lists them, read with plain
    // system calls into a buffer held by the probe.
    void read_mappings() {
        region_count_ = 0;
        const int fd = open("/proc/self/maps", O_RDONLY);
        if (fd < 0) return;
        size_t used = 0;
        ssize_t got;
        while (used < sizeof maps_ - 1 &&
               (got = read(fd, maps_ + used, sizeof maps_ - 1 - used)) > 0)
            used += size_t(got);
        close(fd);
        maps_[used] = 0;
        for (char *line = maps_; *line && region_count_ < sizeof regions_ / sizeof *regions_;) {
            char *end = strchr(line, '\n');
            if (end) *end = 0;
            unsigned long lo, hi;
            char perms[5] = {0};
            if (sscanf(line, "%lx-%lx %4s", &lo, &hi, perms) == 3 && perms[0] == 'r' &&
                perms[1] == 'w' && strstr(line, " /dev/") == nullptr)
                regions_[region_count_++] = {(const uint8_t *)lo, (const uint8_t *)hi};
            if (!end) break;
            line = end + 1;
        }
    }

    void scan_region(const uint8_t *lo, const uint8_t *hi) {
        for (const uint8_t *x = lo; x + 8 <= hi; x++) {
            uint64_t head;
            memcpy(&head, x, sizeof head);
            head ^= mask_word_;
            if (!(filter_[head >> 54] >> (head >> 48 & 63) & 1)) continue;
            auto range = std::equal_range(keys_.begin(), keys_.end(), key{head, nullptr});
            for (auto k = range.first; k != range.second; k++)
                if (x + k->n->len <= hi && matches(x, k->n) && found_ < hits_.size())
                    hits_[found_++] = {k->n, x};
        }
    }

    // Compares memory with a needle, unmasking one byte at a time.
    bool matches(const uint8_t *x, const needle *n) const {
        uint8_t diff = 0;
        for (unsigned k = 0; k < n->len; k++) diff |= uint8_t((x[k] ^ mask_[k]) ^ n->masked[k]);
        return diff == 0;
    }
};

// "B0 of <source>, chunk 3 block 0 (tangled) at 0x7f..."
// "the outer midstate, bytes 4-19, at 0x7f..."
inline std::string describe(const hit &h) {
    char buf[160];
    if (h.n->kind) {
        snprintf(buf, sizeof buf, "%s, bytes %u-%u, at %p\n", h.n->kind, h.n->offset,
                 h.n->offset + h.n->len - 1, (const void *)h.at);
        return buf;
    }
    snprintf(buf, sizeof buf, "B0 of %s, chunk %u block %u (%s) at %p\n", h.n->source, h.n->chunk,
             h.n->block, h.n->tangled ? "tangled" : "natural", (const void *)h.at);
    return buf;
}

// The factor sets both residue tests derive with.  p > 1 matters: the
// table's first entry then holds the last chunk.
struct derivation_case {
    const char *what;
    factors f;
};
// How GoogleTest shows a case: by its description.
inline void PrintTo(const derivation_case &c, std::ostream *os) {
    *os << c.what;
}
const derivation_case derivation_cases[] = {
    {"N 16 r 1 p 1", {3, 0, 0}},
    {"N 1024 r 8 p 16", {9, 3, 4}},
    {"N 2048 r 1 p 4", {10, 0, 2}},
    {"N 16384 r 8 p 1", {13, 3, 0}},
};

// Whose B0 the needles come from.
struct source {
    const char *label;
    const char *password, *salt;
    factors f;
};

// The self-test's own derivations: the first two test vectors of RFC 7914.
const source self_test_rows[] = {
    {"self-test row 0", "", "", {3, 0, 0}},
    {"self-test row 1", "password", "NaCl", {9, 3, 4}},
};

// Why this build's memory cannot be scanned, or null.
inline const char *unscannable() {
#ifdef SCRYPT_TEST_ASAN
    return "AddressSanitizer maps terabytes of shadow memory as writable";
#else
    return nullptr;
#endif
}

// In a child process: needles from every source, then `act` (a derivation,
// or nothing at all; it returns 0, or a status of 101 and up when something
// else went wrong), then the scan.  The child's status is the number of hits
// (at most 64; 100 when the needles could not be made), its output one line
// per hit.
template <class Act>
child_result look_after(const std::vector<source> &sources, Act act) {
    return in_child([&] {
        auto p = std::make_unique<probe>();
        for (const source &s : sources)
            if (!p->add_b0(s.password, s.salt, s.f, s.label)) return 100;
        if (const int failed = act()) return failed;
        const std::vector<hit> hits = p->scan();
        for (const hit &h : hits) fputs(describe(h).c_str(), stderr);
        return int(hits.size());
    });
}

}  // namespace residue
