// The sequential memory-hard mix: the Salsa20/8 core, ChunkMix (BlockMix of
// RFC 7914 with an optional second input XORed in on the fly) and ROMix.
//
// Words are 32-bit little-endian values used where they lie; a block is 16
// words, a chunk 2r blocks (128 * r bytes).  The portable form works on words
// in their natural order.  The vector forms work on "tangled" blocks, whose
// position k holds natural word P[k] with
//     P = 0, 5, 10, 15, 12, 1, 6, 11, 8, 13, 2, 7, 4, 9, 14, 3,
// so that each 16-byte row of a block holds one diagonal of the 4x4 word
// matrix.  P is its own inverse.
//
// Preconditions (guaranteed by the driver, never checked here): N is a power
// of two from 2 to 2^31, r is 1..256, X and Y are one chunk each, V holds N
// chunks, and no two of them overlap.  The vector forms need every chunk on a
// 16-byte boundary.
//
// Registers: no kernel leaves a value of the derivation in a register that
// baseline code cannot overwrite.  The portable, SSE2, AVX and XOP kernels
// use only general registers and xmm0-15, which the code after them reuses
// and the wipe of the work buffers never needed to reach.  The AVX-512
// kernels may also use xmm16-31 (and so zmm16-31), the opmask registers and,
// through EVEX encodings, the upper parts of zmm0-15, none of which baseline
// code can touch: before they return they zero zmm16-31 and k0-k7 and end
// with vzeroupper, which clears the upper parts of zmm0-15.  The lane forms
// follow the same rule: SSE2's uses xmm0-15 only, AVX2's ends with
// vzeroupper, AVX-512's clears as the AVX-512 kernels do.
#ifndef SCRYPT_VORNIK_MIX_H
#define SCRYPT_VORNIK_MIX_H

#include <stddef.h>
#include <stdint.h>

#include "internal.h"

SCRYPT_PRIVATE_BEGIN

// How ROMix's second loop asks for the table entry that each step reads.
// Only the entry's last line (which ChunkMix reads first) and its first
// `entry_lines_ahead` lines are requested as soon as the index is known;
// then each block of ChunkMix asks for the line `entry_lines_ahead` blocks
// on.  Requested all at once, the lines compete with the first ones needed:
// on an Intel family 6 model 207 the first line of an entry then took about
// 1.5 times and the whole entry twice the latency of a lone line, and each
// step waited for nearly the whole entry.
enum : unsigned { entry_lines_ahead = 4 };

typedef void (*romix_function)(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);
typedef void (*romix_lanes_function)(uint32_t *const *X, uint32_t *const *V, uint32_t *work,
                                     uint32_t count, uint32_t N, uint32_t r);
// The most lanes any lane form has.
enum : unsigned { max_mix_lanes = 16 };
typedef void (*chunkmix_function)(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor,
                                  uint32_t r);

// Portable form, natural word order.
void salsa_core_basic(uint32_t block[16]);
void scrypt_ChunkMix_basic(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void scrypt_ROMix_basic(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);

#if SCRYPT_X86_64
// Vector forms.  ChunkMix works on tangled chunks; ROMix takes and returns X
// in natural order.  Each may run only on a processor with its instruction
// set.
void scrypt_ChunkMix_sse2(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void scrypt_ChunkMix_avx(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void scrypt_ChunkMix_xop(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void scrypt_ChunkMix_avx512(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void scrypt_ChunkMix_avx512tern(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor,
                                uint32_t r);
void _scrypt_ChunkMix_sse2(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void _scrypt_ChunkMix_avx(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void _scrypt_ChunkMix_xop(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void _scrypt_ChunkMix_avx512(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor, uint32_t r);
void _scrypt_ChunkMix_avx512tern(uint32_t *Bout, const uint32_t *Bin, const uint32_t *Bxor,
                                 uint32_t r);
void scrypt_ROMix_sse2(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);
void scrypt_ROMix_avx(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);
void scrypt_ROMix_xop(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);
void scrypt_ROMix_avx512(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);
void scrypt_ROMix_avx512tern(uint32_t *X, uint32_t *Y, uint32_t *V, uint32_t N, uint32_t r);

// Lane forms: ROMix of `count` chunks at once (1 to the form's lane count),
// chunk l at X[l] with its own table of N chunks at V[l], each result equal
// to scrypt_ROMix_basic's on that chunk (the table, too, ends as
// scrypt_ROMix_basic leaves it).  `work` holds 2 * lanes chunks (256 * r *
// lanes bytes, 64-byte aligned), the lanes' running chunks, and is left
// holding mixed state.  Every chunk and table starts on a 64-byte boundary.
// Neither X nor V may overlap anything else; only the first `count`
// pointers of each are read.
void scrypt_ROMix_lanes_sse2(uint32_t *const *X, uint32_t *const *V, uint32_t *work, uint32_t count,
                             uint32_t N, uint32_t r);
void scrypt_ROMix_lanes_avx2(uint32_t *const *X, uint32_t *const *V, uint32_t *work, uint32_t count,
                             uint32_t N, uint32_t r);
void scrypt_ROMix_lanes_avx512(uint32_t *const *X, uint32_t *const *V, uint32_t *work,
                               uint32_t count, uint32_t N, uint32_t r);

// Permutes each of `count` blocks in place by P (tangles or untangles).
void salsa_core_tangle_sse2(uint32_t *blocks, uint64_t count);
#endif

SCRYPT_PRIVATE_END

#endif
