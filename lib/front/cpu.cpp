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

SCRYPT_SEAM_CONST mix_form scrypt_mix_forms[] = {
#if SCRYPT_X86_64
    {"xop", FEATURE_XOP, scrypt_ROMix_xop, scrypt_ChunkMix_xop, true},
    {"avx", FEATURE_AVX, scrypt_ROMix_avx, scrypt_ChunkMix_avx, true},
    {"sse2", FEATURE_SSE2, scrypt_ROMix_sse2, scrypt_ChunkMix_sse2, true},
#endif
    {"basic", 0, scrypt_ROMix_basic, scrypt_ChunkMix_basic, false},
};
const unsigned scrypt_mix_form_count = sizeof scrypt_mix_forms / sizeof scrypt_mix_forms[0];

const mix_form *scrypt_select_form(cpu_feature_flags flags) {
    const mix_form *f = scrypt_mix_forms;
    while (f->required != 0 && (flags & f->required) == 0) f++;
    return f;
}

romix_function scrypt_select_romix(cpu_feature_flags flags) {
    return scrypt_select_form(flags)->romix;
}

}  // extern "C"
