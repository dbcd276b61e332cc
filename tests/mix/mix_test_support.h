// Helpers shared by the mixing-form tests: aligned word buffers, an
// independent implementation of the tangled word order, and the check for
// whether this processor runs a form.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "mix/mix.h"

namespace mixtest {

// 64-byte aligned words with `guard` extra words after the payload, filled
// with a marker so that a write past the end can be noticed.
class words {
  public:
    static constexpr uint32_t marker = 0xa5c3e1f7u;
    explicit words(size_t n, size_t guard = 16) : n_(n), guard_(guard) {
        const size_t bytes = ((n + guard) * 4 + 63) / 64 * 64;
        p_ = static_cast<uint32_t *>(aligned_alloc(64, bytes));
        for (size_t i = 0; i < n + guard; i++) p_[i] = marker;
    }
    words(const words &o) : words(o.n_, o.guard_) { memcpy(p_, o.p_, (n_ + guard_) * 4); }
    words &operator=(const words &) = delete;
    ~words() { free(p_); }
    uint32_t *data() { return p_; }
    const uint32_t *data() const { return p_; }
    size_t size() const { return n_; }
    uint32_t &operator[](size_t i) { return p_[i]; }
    uint32_t operator[](size_t i) const { return p_[i]; }
    std::vector<uint32_t> payload() const { return std::vector<uint32_t>(p_, p_ + n_); }
    bool guard_intact() const {
        for (size_t i = n_; i < n_ + guard_; i++)
            if (p_[i] != marker) return false;
        return true;
    }
    void fill_random(std::mt19937 &rng) {
        for (size_t i = 0; i < n_; i++) p_[i] = rng();
    }

  private:
    size_t n_, guard_;
    uint32_t *p_;
};

// Position k of a tangled block holds natural word kTangle[k].
inline constexpr unsigned kTangle[16] = {0, 5, 10, 15, 12, 1, 6, 11, 8, 13, 2, 7, 4, 9, 14, 3};

// Tangled copy of natural-order blocks (or, P being an involution, the
// natural copy of tangled ones), written from the table above rather than
// with the library's routine.
inline std::vector<uint32_t> retangle(const uint32_t *w, size_t n_words) {
    std::vector<uint32_t> out(n_words);
    for (size_t b = 0; b < n_words; b += 16)
        for (unsigned k = 0; k < 16; k++) out[b + k] = w[b + kTangle[k]];
    return out;
}

inline bool processor_runs(const mix_form &f) {
    return scrypt_form_runs(&f, detect_cpu());
}

inline std::string upper(const char *s) {
    std::string u(s);
    for (char &c : u) c = (char)toupper((unsigned char)c);
    return u;
}

// Every entry of the form table, or only the tangled (vector) ones.
inline std::vector<const mix_form *> forms(bool vector_only) {
    std::vector<const mix_form *> v;
    for (unsigned i = 0; i < scrypt_mix_form_count; i++)
        if (!vector_only || scrypt_mix_forms[i].tangled) v.push_back(&scrypt_mix_forms[i]);
    return v;
}

}  // namespace mixtest

// Skips the running test when the processor lacks the form's instruction set.
#define SKIP_UNLESS_PROCESSOR_RUNS(form)                                                 \
    do {                                                                                 \
        if (!mixtest::processor_runs(form))                                              \
            GTEST_SKIP() << "this processor (or its operating system) lacks "            \
                         << mixtest::upper((form).name) << ", which the " << (form).name \
                         << " form needs";                                               \
    } while (0)
