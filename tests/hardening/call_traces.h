// What one call leaves behind outside the work buffers: the needles are the
// password-equivalent values that pass through HMAC and PBKDF2, each of
// which lets a password guess be checked for the price of a hash or two
// instead of a derivation:
//   - the password itself (and, when longer than 64 bytes, its digest, the
//     HMAC key block that stands for it);
//   - the key block XOR 0x36 and XOR 0x5c (the two pads), as bytes and as
//     SHA-256's big-endian message words;
//   - the inner and outer midstates (each half's chaining words after its
//     keyed block);
//   - the inner digest of every block of both PBKDF2 runs: the first run's
//     from password and salt alone, the last run's (with the key) for the
//     price of the outer hash.
// Each value is cut into 16-byte pieces at every multiple of 4 bytes (a
// register or a spill may hold only part of it).  The call runs on a thread
// whose stack the test owns, so that its dead frames stay as the call left
// them, and the registers are dumped into memory right after it (all of
// xmm/ymm/zmm 0-31 that the processor has); the probe then scans every
// writable mapping, that stack and the dump included.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "residue_probe.h"

namespace residue {

// Registers as dumped right after the call: up to 32 registers of 64 bytes.
struct register_dump {
    alignas(64) uint8_t bytes[32 * 64];
};

extern "C" {
void residue_dump_sse(register_dump *);     // xmm0-15
void residue_dump_avx(register_dump *);     // ymm0-15
void residue_dump_avx512(register_dump *);  // zmm0-31
}

// Written once per process, for the dump code this processor runs: each
// form is assembled for its own instruction set and only called where the
// processor (and its operating system) has it.
__asm__(
    ".text\n"
    "residue_dump_sse:\n"
    "  movdqu %xmm0, 0(%rdi)\n  movdqu %xmm1, 64(%rdi)\n  movdqu %xmm2, 128(%rdi)\n"
    "  movdqu %xmm3, 192(%rdi)\n  movdqu %xmm4, 256(%rdi)\n  movdqu %xmm5, 320(%rdi)\n"
    "  movdqu %xmm6, 384(%rdi)\n  movdqu %xmm7, 448(%rdi)\n  movdqu %xmm8, 512(%rdi)\n"
    "  movdqu %xmm9, 576(%rdi)\n  movdqu %xmm10, 640(%rdi)\n  movdqu %xmm11, 704(%rdi)\n"
    "  movdqu %xmm12, 768(%rdi)\n  movdqu %xmm13, 832(%rdi)\n  movdqu %xmm14, 896(%rdi)\n"
    "  movdqu %xmm15, 960(%rdi)\n  ret\n"
    "residue_dump_avx:\n"
    "  vmovdqu %ymm0, 0(%rdi)\n  vmovdqu %ymm1, 64(%rdi)\n  vmovdqu %ymm2, 128(%rdi)\n"
    "  vmovdqu %ymm3, 192(%rdi)\n  vmovdqu %ymm4, 256(%rdi)\n  vmovdqu %ymm5, 320(%rdi)\n"
    "  vmovdqu %ymm6, 384(%rdi)\n  vmovdqu %ymm7, 448(%rdi)\n  vmovdqu %ymm8, 512(%rdi)\n"
    "  vmovdqu %ymm9, 576(%rdi)\n  vmovdqu %ymm10, 640(%rdi)\n  vmovdqu %ymm11, 704(%rdi)\n"
    "  vmovdqu %ymm12, 768(%rdi)\n  vmovdqu %ymm13, 832(%rdi)\n  vmovdqu %ymm14, 896(%rdi)\n"
    "  vmovdqu %ymm15, 960(%rdi)\n  ret\n"
    "residue_dump_avx512:\n"
    "  vmovdqu64 %zmm0, 0(%rdi)\n  vmovdqu64 %zmm1, 64(%rdi)\n  vmovdqu64 %zmm2, 128(%rdi)\n"
    "  vmovdqu64 %zmm3, 192(%rdi)\n  vmovdqu64 %zmm4, 256(%rdi)\n  vmovdqu64 %zmm5, 320(%rdi)\n"
    "  vmovdqu64 %zmm6, 384(%rdi)\n  vmovdqu64 %zmm7, 448(%rdi)\n  vmovdqu64 %zmm8, 512(%rdi)\n"
    "  vmovdqu64 %zmm9, 576(%rdi)\n  vmovdqu64 %zmm10, 640(%rdi)\n  vmovdqu64 %zmm11, 704(%rdi)\n"
    "  vmovdqu64 %zmm12, 768(%rdi)\n  vmovdqu64 %zmm13, 832(%rdi)\n  vmovdqu64 %zmm14, 896(%rdi)\n"
    "  vmovdqu64 %zmm15, 960(%rdi)\n  vmovdqu64 %zmm16, 1024(%rdi)\n  vmovdqu64 %zmm17, "
    "1088(%rdi)\n"
    "  vmovdqu64 %zmm18, 1152(%rdi)\n  vmovdqu64 %zmm19, 1216(%rdi)\n  vmovdqu64 %zmm20, "
    "1280(%rdi)\n"
    "  vmovdqu64 %zmm21, 1344(%rdi)\n  vmovdqu64 %zmm22, 1408(%rdi)\n  vmovdqu64 %zmm23, "
    "1472(%rdi)\n"
    "  vmovdqu64 %zmm24, 1536(%rdi)\n  vmovdqu64 %zmm25, 1600(%rdi)\n  vmovdqu64 %zmm26, "
    "1664(%rdi)\n"
    "  vmovdqu64 %zmm27, 1728(%rdi)\n  vmovdqu64 %zmm28, 1792(%rdi)\n  vmovdqu64 %zmm29, "
    "1856(%rdi)\n"
    "  vmovdqu64 %zmm30, 1920(%rdi)\n  vmovdqu64 %zmm31, 1984(%rdi)\n  vzeroupper\n  ret\n");

// Loads the 64 bytes at p into xmm5, and where AVX-512 runs into zmm17 too:
// the probe's control for the dump.
extern "C" void residue_plant_sse(const char *p);
extern "C" void residue_plant_avx512(const char *p);
__asm__(
    ".text\n"
    "residue_plant_sse:\n  movdqu (%rdi), %xmm5\n  ret\n"
    "residue_plant_avx512:\n  movdqu (%rdi), %xmm5\n  vmovdqu64 (%rdi), %zmm17\n  ret\n");
inline void plant_in_registers(const char *p) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        residue_plant_avx512(p);
    else
        residue_plant_sse(p);
}

// The widest dump this processor runs, and what it covers.
struct dumper {
    void (*dump)(register_dump *);
    const char *covers;
};
inline dumper widest_dump() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return {residue_dump_avx512, "zmm0-31"};
    if (__builtin_cpu_supports("avx")) return {residue_dump_avx, "ymm0-15"};
    return {residue_dump_sse, "xmm0-15"};
}

// An independent scrypt middle for the needles of the last PBKDF2: B as
// ROMix leaves it (RFC 7914, Salsa20/8 as its section 3 gives it).
inline void salsa20_8(uint32_t b[16]) {
    auto R = [](uint32_t a, int n) { return (a << n) | (a >> (32 - n)); };
    uint32_t x[16];
    for (int i = 0; i < 16; i++) x[i] = b[i];
    for (int i = 0; i < 8; i += 2) {
        static const int q[8][4] = {{4, 0, 12, 8}, {9, 5, 1, 13}, {14, 10, 6, 2}, {3, 15, 11, 7},
                                    {1, 0, 3, 2},  {6, 5, 4, 7},  {11, 10, 9, 8}, {12, 15, 14, 13}};
        for (const auto &c : q) {
            x[c[0]] ^= R(x[c[1]] + x[c[2]], 7);
            x[c[3]] ^= R(x[c[0]] + x[c[1]], 9);
            x[c[2]] ^= R(x[c[3]] + x[c[0]], 13);
            x[c[1]] ^= R(x[c[2]] + x[c[3]], 18);
        }
    }
    for (int i = 0; i < 16; i++) b[i] += x[i];
}

inline std::vector<uint32_t> mixed_b(const std::vector<uint8_t> &b0, factors f) {
    const size_t r = size_t(1) << f.r, N = size_t(2) << f.N, words = 32 * r;
    std::vector<uint32_t> b(b0.size() / 4), v(N * words), x(words), y(words);
    memcpy(b.data(), b0.data(), b0.size());  // little-endian words
    auto block_mix = [&](std::vector<uint32_t> &in) {
        uint32_t t[16];
        memcpy(t, &in[(2 * r - 1) * 16], 64);
        for (size_t i = 0; i < 2 * r; i++) {
            for (int k = 0; k < 16; k++) t[k] ^= in[i * 16 + k];
            salsa20_8(t);
            memcpy(&y[((i & 1) * r + i / 2) * 16], t, 64);
        }
        in.swap(y);
    };
    for (size_t c = 0; c < b.size() / words; c++) {
        memcpy(x.data(), &b[c * words], words * 4);
        for (size_t i = 0; i < N; i++) {
            memcpy(&v[i * words], x.data(), words * 4);
            block_mix(x);
        }
        for (size_t i = 0; i < N; i++) {
            const size_t j = x[(2 * r - 1) * 16] & (N - 1);
            for (size_t k = 0; k < words; k++) x[k] ^= v[j * words + k];
            block_mix(x);
        }
        memcpy(&b[c * words], x.data(), words * 4);
    }
    OPENSSL_cleanse(v.data(), v.size() * 4);
    OPENSSL_cleanse(x.data(), x.size() * 4);
    OPENSSL_cleanse(y.data(), y.size() * 4);
    return b;
}

// SHA-256 through OpenSSL's low-level interface, which shows the chaining
// words (deprecated in OpenSSL 3, still the only way to see a midstate).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline void midstate(uint8_t out[32], const uint8_t block[64]) {
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Update(&c, block, 64);
    memcpy(out, c.h, 32);  // the words as the library holds them
    OPENSSL_cleanse(&c, sizeof c);
}
inline void inner_digest(uint8_t out[32], const uint8_t ipad_block[64], const uint8_t *msg,
                         size_t len, uint32_t index) {
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Update(&c, ipad_block, 64);
    SHA256_Update(&c, msg, len);
    const uint8_t be[4] = {uint8_t(index >> 24), uint8_t(index >> 16), uint8_t(index >> 8),
                           uint8_t(index)};
    SHA256_Update(&c, be, 4);
    SHA256_Final(out, &c);
    OPENSSL_cleanse(&c, sizeof c);
}
#pragma GCC diagnostic pop

// The needles of one call: scrypt(password, salt, f) with out_len bytes.
// Every temporary is cleansed, and the password is read where it lies, so
// that the probe's own work leaves nothing that it would find.  False when
// OpenSSL refuses.
inline bool add_call_traces(probe &p, const char *password, const char *salt, factors f,
                            size_t out_len) {
    const size_t password_len = strlen(password), salt_len = strlen(salt);
    uint8_t key[64] = {0};
    size_t key_len = password_len;
    if (key_len <= 64) {
        memcpy(key, password, key_len);
    } else {
        SHA256((const uint8_t *)password, password_len, key);
        key_len = 32;
    }
    p.add_pieces((const uint8_t *)password, password_len, "the password");
    if (password_len > 64) p.add_pieces(key, 32, "the password's digest");
    uint8_t pad[2][64], words[64], digest[32];
    const char *const pad_kind[2] = {"the key block XOR 0x36", "the key block XOR 0x5c"};
    const char *const word_kind[2] = {"the key block XOR 0x36 as big-endian words",
                                      "the key block XOR 0x5c as big-endian words"};
    const char *const mid_kind[2] = {"the inner midstate", "the outer midstate"};
    for (int h = 0; h < 2; h++) {
        for (int i = 0; i < 64; i++) pad[h][i] = key[i] ^ (h ? 0x5c : 0x36);
        for (int i = 0; i < 64; i++) words[i] = pad[h][(i & ~3) + 3 - (i & 3)];
        p.add_pieces(pad[h], key_len, pad_kind[h]);
        p.add_pieces(words, (key_len + 3) / 4 * 4, word_kind[h]);
        midstate(digest, pad[h]);
        p.add_pieces(digest, 32, mid_kind[h]);
    }

    const size_t chunk = size_t(128) << f.r, bytes = chunk << f.p;
    std::vector<uint8_t> b0(bytes);
    const bool ok = PKCS5_PBKDF2_HMAC(password, (int)password_len, (const uint8_t *)salt,
                                      (int)salt_len, 1, EVP_sha256(), (int)bytes, b0.data()) == 1;
    for (uint32_t i = 1; ok && i <= bytes / 32; i++) {
        inner_digest(digest, pad[0], (const uint8_t *)salt, salt_len, i);
        p.add_pieces(digest, 32, "an inner digest of the first PBKDF2");
    }
    std::vector<uint32_t> mixed = mixed_b(b0, f);
    for (uint32_t i = 1; ok && i <= (out_len + 31) / 32; i++) {
        inner_digest(digest, pad[0], (const uint8_t *)mixed.data(), bytes, i);
        p.add_pieces(digest, 32, "an inner digest of the last PBKDF2");
    }
    OPENSSL_cleanse(b0.data(), b0.size());
    OPENSSL_cleanse(mixed.data(), mixed.size() * 4);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(words, sizeof words);
    OPENSSL_cleanse(digest, sizeof digest);
    return ok;
}

// Runs `call` on a thread with a stack of the test's own (mapped here, never
// unmapped, so the scan reads its dead frames), dumps the registers right
// after it, and raises a signal there when asked (the kernel saves every
// register in a frame on that stack).  The thread then stays blocked, so
// nothing else runs on its stack.  False when the thread could not start.
struct call_thread {
    void (*call)();
    bool signal_after;
    void (*dump)(register_dump *);
    register_dump *registers;
    sem_t done;
};

inline void ignore_signal(int) {}

inline void *run_call(void *arg) {
    call_thread *t = (call_thread *)arg;
    void (*const dump)(register_dump *) = t->dump;
    register_dump *const registers = t->registers;
    t->call();
    dump(registers);
    if (t->signal_after) raise(SIGUSR1);
    sem_post(&t->done);
    for (;;) pause();
}

inline bool call_on_own_stack(call_thread &t) {
    constexpr size_t stack_bytes = 1 << 20;
    void *stack = mmap(nullptr, stack_bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return false;
    struct sigaction sa {};
    sa.sa_handler = ignore_signal;
    sigaction(SIGUSR1, &sa, nullptr);
    sem_init(&t.done, 0, 0);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, stack_bytes);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attr, run_call, &t) == 0;
    pthread_attr_destroy(&attr);
    if (started)
        while (sem_wait(&t.done) != 0) {
        }
    return started;
}

// The cases that both residue tests run: the moment after which the probe
// looks, and the password's length (at most 64 bytes it is the key block
// itself; longer, its digest is).
enum class moment { first_call, later_call, signal_after };

struct call_case {
    const char *what;
    moment when;
    const char *password;  // in read-only memory, which the probe does not scan
};
inline void PrintTo(const call_case &c, std::ostream *os) {
    *os << c.what;
}

constexpr char password_20[] = "twenty-byte password";
constexpr char password_64[] = "a password of exactly sixty-four bytes, for a key block of its o";
constexpr char password_100[] =
    "a password longer than one SHA-256 block, hashed to its digest before HMAC: one hundred bytes "
    "long!!";
static_assert(sizeof password_20 - 1 == 20 && sizeof password_64 - 1 == 64 &&
              sizeof password_100 - 1 == 100);
constexpr char call_salt[] = "the salt of the traced call";
constexpr factors call_factors = {4, 1, 1};
constexpr size_t call_out_len = 64;

const call_case call_cases[] = {
    {"first call, 20-byte password", moment::first_call, password_20},
    {"first call, 64-byte password", moment::first_call, password_64},
    {"first call, 100-byte password", moment::first_call, password_100},
    {"later call, 20-byte password", moment::later_call, password_20},
    {"later call, 64-byte password", moment::later_call, password_64},
    {"later call, 100-byte password", moment::later_call, password_100},
    {"signal after the call, 20-byte password", moment::signal_after, password_20},
    {"signal after the call, 64-byte password", moment::signal_after, password_64},
    {"signal after the call, 100-byte password", moment::signal_after, password_100},
};

// In a child process: the needles of the case's call, then `prepare` (on
// the main thread), then, unless the case is a first call, a call with
// another password, then the traced call on its own stack, then the scan.
// The child's status is the number of hits (at most 99; 100 and up when
// something else went wrong), its output one line per kind of trace found,
// with the count, and which registers the dump covered.
template <class Derive, class Prepare>
child_result look_after_call(const call_case &c, Derive derive, Prepare prepare) {
    static const call_case *current;
    static Derive *traced;
    current = &c;
    traced = &derive;
    return in_child([&] {
        auto p = std::make_unique<probe>();
        if (!add_call_traces(*p, c.password, call_salt, call_factors, call_out_len)) return 100;
        prepare();
        if (c.when != moment::first_call) derive("another password entirely", call_factors);
        static register_dump registers;
        const dumper d = widest_dump();
        call_thread t{[] { (*traced)(current->password, call_factors); },
                      c.when == moment::signal_after,
                      d.dump,
                      &registers,
                      {}};
        if (!call_on_own_stack(t)) return 101;
        const std::vector<hit> hits = p->scan(4096);
        std::vector<std::pair<std::string, unsigned>> kinds;
        for (const hit &h : hits) {
            const std::string kind = h.n->kind ? h.n->kind : "a block of B0";
            auto k = std::find_if(kinds.begin(), kinds.end(),
                                  [&](const auto &e) { return e.first == kind; });
            if (k == kinds.end())
                kinds.push_back({kind, 1});
            else
                k->second++;
        }
        fprintf(stderr, "registers dumped: %s\n", d.covers);
        for (const auto &k : kinds) fprintf(stderr, "found %s: %u\n", k.first.c_str(), k.second);
        return int(std::min<size_t>(hits.size(), 99));
    });
}

}  // namespace residue
