// Processor feature detection: CPUID and XGETBV.
#ifndef SCRYPT_VORNIK_CPU_H
#define SCRYPT_VORNIK_CPU_H

#include <stdint.h>

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

typedef uint64_t cpu_feature_flags;

enum : uint64_t {
    FEATURE_MMX = 0x1,
    FEATURE_SSE = 0x2,
    FEATURE_SSE2 = 0x4,
    FEATURE_SSE3 = 0x8,
    FEATURE_SSSE3 = 0x10,
    FEATURE_SSE4 = 0x40,  // SSE4.1 or SSE4.2
    FEATURE_AVX = 0x80,
    FEATURE_XOP = 0x100,
    FEATURE_AVX2 = 0x200,
    FEATURE_AVX512 = 0x400,  // AVX-512F and AVX-512VL, their state enabled
    FEATURE_SHA = 0x800,     // the SHA-256 instructions, with SSSE3 and SSE4.1
};

// The four registers that CPUID returns for one leaf.
typedef struct cpuid_record {
    uint32_t eax, ebx, ecx, edx;
} cpuid_record;

// Runs CPUID with EAX = leaf, ECX = 0.  (No-op returning zeros elsewhere.)
void get_cpuid(cpuid_record *record, uint32_t leaf);
// Runs XGETBV with ECX = index.
uint64_t get_xgetbv(uint32_t index);
// What this processor offers and its operating system has enabled.  Not
// cached: every call asks the processor again.  Reports nothing off x86-64.
cpu_feature_flags detect_cpu(void);
// What detect_cpu() finds, asked once per process: a processor's features
// and what its operating system enables do not change while a process runs,
// and a forked child inherits the answer with the rest of its memory.  Under
// a hypervisor every CPUID exits to it (tens of microseconds for the five
// leaves), which the entry points that return a status need not pay on every
// call.  Lock-free and safe from any thread: callers that race on the first
// use each ask the processor and store the same answer.
cpu_feature_flags detect_cpu_once(void);

SCRYPT_PRIVATE_END

#ifdef __cplusplus
// The detection steps, over any source of CPUID and XGETBV answers, so that
// the tests can put fake processors through them.  `Source` provides
//   void cpuid(cpuid_record *, uint32_t leaf);
//   uint64_t xgetbv(uint32_t index);
template <class Source>
cpu_feature_flags detect_cpu_with(Source &source) {
    cpuid_record r;
    source.cpuid(&r, 0);
    const uint32_t max_leaf = r.eax;
    // Some old processors report a garbage highest leaf with these bits set;
    // trust nothing from them beyond MMX.
    if (max_leaf & 0x500) return FEATURE_MMX;
    if (max_leaf == 0) return 0;

    source.cpuid(&r, 1);
    const uint32_t ecx1 = r.ecx, edx1 = r.edx;
    cpu_feature_flags flags = 0;
    uint64_t xcr0 = 0;
    if (ecx1 & 0x08000000) {  // OSXSAVE: XGETBV may run
        xcr0 = source.xgetbv(0);
        // VEX and XOP instructions, 128-bit ones included, fault unless the
        // operating system saves both the SSE (bit 1) and AVX (bit 2) state.
        if ((ecx1 & 0x10000000) && (xcr0 & 6) == 6) flags |= FEATURE_AVX;
    }
    if (edx1 & 0x00800000) flags |= FEATURE_MMX;
    if (edx1 & 0x02000000) flags |= FEATURE_SSE;
    if (edx1 & 0x04000000) flags |= FEATURE_SSE2;
    if (ecx1 & 0x00000001) flags |= FEATURE_SSE3;
    if (ecx1 & 0x00000200) flags |= FEATURE_SSSE3;
    if (ecx1 & 0x00180000) flags |= FEATURE_SSE4;
    if (!(flags & FEATURE_AVX)) return flags;

    if (max_leaf > 6) {
        source.cpuid(&r, 7);
        if (r.ebx & 0x20) flags |= FEATURE_AVX2;
        // The SHA-256 instructions, which the form that uses them pairs
        // with SSSE3's shuffle and SSE4.1's blend.  They need no AVX state,
        // but leaf 7 is asked only where AVX runs: a processor with them and
        // without AVX (some low-power cores) hashes with the portable code.
        if ((r.ebx & 0x20000000) && (ecx1 & 0x00080200) == 0x00080200) flags |= FEATURE_SHA;
        // EVEX instructions, 128-bit ones included, fault unless the
        // operating system also saves the opmask registers (bit 5) and the
        // upper halves of zmm0-15 (bit 6) and zmm16-31 (bit 7).
        const uint32_t avx512f_vl = 0x00010000u | 0x80000000u;
        if ((r.ebx & avx512f_vl) == avx512f_vl && (xcr0 & 0xe6) == 0xe6) flags |= FEATURE_AVX512;
    }
    source.cpuid(&r, 0x80000000);
    if (r.eax > 0x80000000) {
        source.cpuid(&r, 0x80000001);
        if (r.ecx & 0x800) flags |= FEATURE_XOP;
    }
    return flags;
}
#endif

#endif
