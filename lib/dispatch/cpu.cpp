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

}  // extern "C"
