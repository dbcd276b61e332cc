// Every lane form this processor runs against the portable ROMix: a fuzzed
// number of chunks (1 to the form's lane count, so partial groups too), N
// from 2 to 32, r from 1 to 5, each chunk from the fuzzed seed with its own
// perturbation.  Every chunk and every table lives in a heap area exactly
// as large as it must be, so that an access beyond one is a sanitizer
// report; each lane's chunk and table must equal the portable form's.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "dispatch/cpu.h"
#include "dispatch/dispatch.h"
#include "fuzz_support.h"
#include "mix/mix.h"

namespace {

void fill(area &a, const bytes &seed, uint8_t tweak) {
    uint8_t *p = (uint8_t *)a.w;
    for (size_t i = 0; i < a.bytes; i++)
        p[i] = (uint8_t)((seed.empty() ? 0 : seed[i % seed.size()]) + tweak * (uint8_t)(i / 61));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const unsigned count_choice = in.ConsumeIntegral<uint8_t>();
    const uint32_t N = 2u << in.ConsumeIntegralInRange<unsigned>(0, 4);
    const uint32_t r = in.ConsumeIntegralInRange<uint32_t>(1, 5);
    const uint8_t tweak = in.ConsumeIntegral<uint8_t>();
    const bytes seed = in.ConsumeRemainingBytes<uint8_t>();
    const size_t chunk = 128 * (size_t)r;

    const cpu_feature_flags flags = detect_cpu();
    for (unsigned f = 0; f < scrypt_lane_form_count; f++) {
        const lane_form &form = scrypt_lane_forms[f];
        if (!scrypt_lane_form_runs(&form, flags)) continue;
        const unsigned count = 1 + count_choice % form.lanes;
        std::vector<std::unique_ptr<area>> x, v, want;
        uint32_t *xp[max_mix_lanes], *vp[max_mix_lanes];
        for (unsigned l = 0; l < count; l++) {
            x.push_back(std::make_unique<area>(chunk));
            fill(*x.back(), seed, (uint8_t)(tweak + 37 * l));
            want.push_back(std::make_unique<area>(chunk));
            memcpy(want.back()->w, x.back()->w, chunk);
            v.push_back(std::make_unique<area>(chunk * N));
            xp[l] = x[l]->w;
            vp[l] = v[l]->w;
        }
        area work(2 * chunk * form.lanes);
        form.romix(xp, vp, work.w, count, N, r);
        for (unsigned l = 0; l < count; l++) {
            area Y(chunk), V(chunk * N);
            scrypt_ROMix_basic(want[l]->w, Y.w, V.w, N, r);
            char what[128];
            snprintf(what, sizeof what, "lanes %s, lane %u of %u (N %u, r %u): chunk", form.name, l,
                     count, N, r);
            require_equal(what, x[l]->w, want[l]->w, chunk);
            snprintf(what, sizeof what, "lanes %s, lane %u of %u (N %u, r %u): table", form.name, l,
                     count, N, r);
            require_equal(what, v[l]->w, V.w, chunk * N);
        }
    }
    return 0;
}
