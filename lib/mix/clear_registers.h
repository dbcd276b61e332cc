// Zeroing the vector state that baseline code cannot overwrite, for the
// kernels that use it (see mix.h).  Plain instructions in asm, the same
// whatever the unit's instruction set; each unit still compiles its own copy
// (anonymous namespace).
#ifndef SCRYPT_VORNIK_CLEAR_REGISTERS_H
#define SCRYPT_VORNIK_CLEAR_REGISTERS_H

namespace {

// Bits 128-255 of ymm0-15, which AVX2 code writes and baseline code never
// does.
inline void clear_upper_halves() {
    __asm__ __volatile__("vzeroupper"
                         :
                         :
                         : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                           "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "memory");
}

#if defined(__AVX512F__)
// zmm16-31 and the opmask registers, then the upper parts of zmm0-15.
// vpxord on an xmm register zeroes the whole zmm register; kxorw zeroes the
// whole opmask register; vzeroupper clears bits 128-511 of zmm0-15.
inline void clear_evex_registers() {
    __asm__ __volatile__(
        "vpxord %%xmm16, %%xmm16, %%xmm16\n\tvpxord %%xmm17, %%xmm17, %%xmm17\n\t"
        "vpxord %%xmm18, %%xmm18, %%xmm18\n\tvpxord %%xmm19, %%xmm19, %%xmm19\n\t"
        "vpxord %%xmm20, %%xmm20, %%xmm20\n\tvpxord %%xmm21, %%xmm21, %%xmm21\n\t"
        "vpxord %%xmm22, %%xmm22, %%xmm22\n\tvpxord %%xmm23, %%xmm23, %%xmm23\n\t"
        "vpxord %%xmm24, %%xmm24, %%xmm24\n\tvpxord %%xmm25, %%xmm25, %%xmm25\n\t"
        "vpxord %%xmm26, %%xmm26, %%xmm26\n\tvpxord %%xmm27, %%xmm27, %%xmm27\n\t"
        "vpxord %%xmm28, %%xmm28, %%xmm28\n\tvpxord %%xmm29, %%xmm29, %%xmm29\n\t"
        "vpxord %%xmm30, %%xmm30, %%xmm30\n\tvpxord %%xmm31, %%xmm31, %%xmm31\n\t"
        "kxorw %%k0, %%k0, %%k0\n\tkxorw %%k1, %%k1, %%k1\n\t"
        "kxorw %%k2, %%k2, %%k2\n\tkxorw %%k3, %%k3, %%k3\n\t"
        "kxorw %%k4, %%k4, %%k4\n\tkxorw %%k5, %%k5, %%k5\n\t"
        "kxorw %%k6, %%k6, %%k6\n\tkxorw %%k7, %%k7, %%k7\n\t"
        "vzeroupper"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20",
          "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30",
          "xmm31", "k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7", "memory");
}
#endif

}  // namespace

#endif
