#include "cpu.h"

#if SCRYPT_X86_64
#include <cpuid.h>
#endif

extern "C" {

void get_cpuid(cpuid_record *record, uint32_t leaf) {
#if SCRYPT_X86_64
    __cpuid_count(leaf, 0, record->eax, record->ebx, record->ecx, record->edx);
#else
    (void)leaf;
    *record = cpuid_record{0, 0, 0, 0};
#endif
}

uint64_t get_xgetbv(uint32_t index) {
#if SCRYPT_X86_64
    uint32_t eax, edx;
    // Encoded as bytes so that no -mxsave is needed to assemble it.
    __asm__ __volatile__(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(index));
    return (uint64_t)edx << 32 | eax;
#else
    (void)index;
    return 0;
#endif
}

}  // extern "C"

namespace {

struct hardware {
    void cpuid(cpuid_record *r, uint32_t leaf) { get_cpuid(r, leaf); }
    uint64_t xgetbv(uint32_t index) { return get_xgetbv(index); }
};

}  // namespace

extern "C" {

cpu_feature_flags detect_cpu(void) {
#if SCRYPT_X86_64
    hardware h;
    return detect_cpu_with(h);
#else
    return 0;
#endif
}

cpu_feature_flags detect_cpu_once(void) {
    // The answer with a bit above every feature's, so that a processor with
    // none (0) is still told from "not asked yet".
    constexpr uint64_t known = uint64_t(1) << 63;
    static uint64_t answer = 0;
    uint64_t a = __atomic_load_n(&answer, __ATOMIC_ACQUIRE);
    if (a == 0) {
        a = detect_cpu() | known;
        __atomic_store_n(&answer, a, __ATOMIC_RELEASE);
    }
    return a & ~known;
}

}  // extern "C"
