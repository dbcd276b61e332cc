// What the benchmark says about the processor it runs on: the name the
// kernel reports, CPUID's vendor, family, model and stepping, and the
// dependent latency of a scalar and of a vector integer addition.
#include <stdio.h>
#include <string.h>

#include "bench.h"
#include "dispatch/cpu.h"

namespace bench {

namespace {

std::string kernel_model_name() {
    FILE *f = fopen("/proc/cpuinfo", "r");
    if (!f) return "unknown processor";
    char line[512];
    std::string model = "unknown processor";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "model name", 10) == 0) {
            const char *c = strchr(line, ':');
            if (c) model = c + 2;
            break;
        }
    }
    fclose(f);
    while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
    return model;
}

}  // namespace

processor_id identify_processor() {
    processor_id p;
    p.name = kernel_model_name();
#if defined(__x86_64__)
    cpuid_record r;
    get_cpuid(&r, 0);
    char vendor[13];
    memcpy(vendor, &r.ebx, 4);
    memcpy(vendor + 4, &r.edx, 4);
    memcpy(vendor + 8, &r.ecx, 4);
    vendor[12] = 0;
    p.vendor = vendor;
    if (r.eax >= 1) {
        get_cpuid(&r, 1);
        // Leaf 1, EAX: stepping 3:0, model 7:4, family 11:8, extended model
        // 19:16, extended family 27:20.  The extended family adds to the
        // family where the family is 0xF; the extended model goes above the
        // model where the family is 0xF, or 6 (Intel's).
        const unsigned base_family = (r.eax >> 8) & 0xf, base_model = (r.eax >> 4) & 0xf;
        p.family = base_family == 0xf ? base_family + ((r.eax >> 20) & 0xff) : base_family;
        p.model = base_family == 0xf || base_family == 6 ? ((r.eax >> 12) & 0xf0) | base_model
                                                         : base_model;
        p.stepping = r.eax & 0xf;
        p.cpuid_known = true;
    }
#endif
    return p;
}

std::string processor_id::label() const {
    if (!cpuid_known) return name;
    char buf[160];
    snprintf(buf, sizeof buf, "%s (%s family %u (0x%x), model %u (0x%x), stepping %u)",
             name.c_str(), vendor.c_str(), family, family, model, model, stepping);
    return buf;
}

namespace {

// `chain(loops)` runs `loops` times eight dependent additions, the loop's own
// counter beside the chain.  The best of five runs, in ns per addition.
template <class Chain>
double per_addition_ns(Chain chain) {
    const long loops = 10000000;
    double best = 0;
    for (int rep = 0; rep < 5; rep++) {
        const double t0 = now();
        chain(loops);
        const double t = (now() - t0) / (8.0 * loops) * 1e9;
        if (rep == 0 || t < best) best = t;
    }
    return best;
}

}  // namespace

double scalar_add_ns() {
#if defined(__x86_64__)
    return per_addition_ns([](long loops) {
        uint64_t x = 0, one = 1;
        // Register to register: some cores (Intel's since Golden Cove) fold
        // a chain of additions of an immediate at register renaming, so such
        // a chain runs faster than one addition a cycle and times nothing.
        for (long i = 0; i < loops; i++)
            asm volatile(
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
                : "+r"(x)
                : "r"(one));
    });
#else
    return 0;
#endif
}

double vector_add_ns() {
#if defined(__x86_64__)
    typedef int v4si __attribute__((vector_size(16)));
    return per_addition_ns([](long loops) {
        v4si x = {0, 0, 0, 0};
        const v4si one = {1, 1, 1, 1};
        // paddd is SSE2, which every x86-64 processor has.
        for (long i = 0; i < loops; i++)
            asm volatile(
                "paddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\t"
                "paddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0"
                : "+x"(x)
                : "x"(one));
    });
#else
    return 0;
#endif
}

}  // namespace bench
