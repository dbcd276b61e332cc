// Every vector mixing form this processor runs against the portable one.
// ChunkMix: fuzzed chunk, fuzzed r (1 to 16, or a power of two up to 256),
// with and without the xor input; the vector forms work on tangled chunks,
// so their inputs are tangled with salsa_core_tangle_sse2 and their output
// untangled before the comparison.  ROMix: fuzzed chunk with small N and r,
// in natural order on both sides.
#include <fuzzer/FuzzedDataProvider.h>

#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "fuzz_support.h"
#include "mix/mix.h"

namespace {

// One chunk-sized (or larger) heap area, 64-byte aligned and exactly as large
// as asked, so that an access beyond it is a sanitizer report.
struct area {
    uint32_t *w;
    size_t bytes;
    explicit area(size_t n) : w((uint32_t *)aligned_alloc(64, n)), bytes(n) { memset(w, 0, n); }
    ~area() { free(w); }
    area(const area &) = delete;
    area &operator=(const area &) = delete;
};

// Fills `a` from `seed`, repeated (each repetition perturbed) to length.
void fill(area &a, const bytes &seed, uint8_t tweak) {
    uint8_t *p = (uint8_t *)a.w;
    for (size_t i = 0; i < a.bytes; i++) {
        uint8_t s = seed.empty() ? 0 : seed[i % seed.size()];
        p[i] = (uint8_t)(s + tweak * (uint8_t)(i / (seed.empty() ? 1 : seed.size())));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t r_choice = in.ConsumeIntegral<uint8_t>();
    const uint32_t r = r_choice < 224 ? 1 + r_choice % 16 : 1u << ((r_choice - 224) % 9);
    const bool with_xor = in.ConsumeBool();
    const uint8_t tweak = in.ConsumeIntegral<uint8_t>();
    const uint32_t romix_N = 2u << in.ConsumeIntegralInRange<unsigned>(0, 4);
    const bytes seed = in.ConsumeRemainingBytes<uint8_t>();

    const size_t chunk = 128 * (size_t)r;
    const size_t words = chunk / 4;
    area input(chunk), xor_input(chunk), want(chunk);
    fill(input, seed, tweak);
    bytes reversed(seed.rbegin(), seed.rend());
    fill(xor_input, reversed, (uint8_t)(tweak ^ 0x5a));
    scrypt_ChunkMix_basic(want.w, input.w, with_xor ? xor_input.w : nullptr, r);

    // ROMix on at most 4 blocks a chunk, so that N chunks stay small.
    const uint32_t romix_r = r <= 4 ? r : 1 + r % 4;
    const size_t romix_chunk = 128 * (size_t)romix_r;
    area romix_in(romix_chunk), romix_want(romix_chunk), Y(romix_chunk), V(romix_chunk * romix_N);
    fill(romix_in, seed, tweak);
    memcpy(romix_want.w, romix_in.w, romix_chunk);
    scrypt_ROMix_basic(romix_want.w, Y.w, V.w, romix_N, romix_r);

    const cpu_feature_flags flags = detect_cpu();
    for (unsigned f = 0; f < scrypt_mix_form_count; f++) {
        const mix_form &form = scrypt_mix_forms[f];
        if (form.required == 0 || !scrypt_form_runs(&form, flags))
            continue;  // portable, or not here

        area in_copy(chunk), xor_copy(chunk), got(chunk);
        memcpy(in_copy.w, input.w, chunk);
        memcpy(xor_copy.w, xor_input.w, chunk);
        if (form.tangled) {
            salsa_core_tangle_sse2(in_copy.w, 2 * r);
            salsa_core_tangle_sse2(xor_copy.w, 2 * r);
        }
        area in_before(chunk);
        memcpy(in_before.w, in_copy.w, chunk);
        form.chunkmix(got.w, in_copy.w, with_xor ? xor_copy.w : nullptr, r);
        require_equal("ChunkMix changed its input", in_copy.w, in_before.w, chunk);
        if (form.tangled) salsa_core_tangle_sse2(got.w, 2 * r);
        char what[128];
        snprintf(what, sizeof what, "ChunkMix %s (r %u, %s xor input) against the portable form",
                 form.name, r, with_xor ? "with" : "without");
        require_equal(what, got.w, want.w, words * 4);

        area romix_got(romix_chunk), Y2(romix_chunk), V2(romix_chunk * romix_N);
        memcpy(romix_got.w, romix_in.w, romix_chunk);
        form.romix(romix_got.w, Y2.w, V2.w, romix_N, romix_r);
        snprintf(what, sizeof what, "ROMix %s (N %u, r %u) against the portable form", form.name,
                 romix_N, romix_r);
        require_equal(what, romix_got.w, romix_want.w, romix_chunk);
    }
    return 0;
}
