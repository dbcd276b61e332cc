// Conventions shared by every private source of the library.
//
// Private functions use C linkage, so that their names read the same in the
// object code as in the source (the tests and the benchmark call the mixing
// forms by name).  The library is compiled with hidden visibility, and the
// archive is made from one relocatable object in which every hidden symbol is
// turned local: only the functions of the public header stay global.
#ifndef SCRYPT_VORNIK_INTERNAL_H
#define SCRYPT_VORNIK_INTERNAL_H

#ifdef __cplusplus
#define SCRYPT_PRIVATE_BEGIN extern "C" {
#define SCRYPT_PRIVATE_END }
#else
#define SCRYPT_PRIVATE_BEGIN
#define SCRYPT_PRIVATE_END
#endif

// Builds for the tests' own failure probes (SCRYPT_TEST_SEAMS) make the
// known answers and the form table writable so that a test can plant a
// fault, and the wipe of the work buffers switchable.  The shipped library
// keeps them read-only.
#ifdef SCRYPT_TEST_SEAMS
#define SCRYPT_SEAM_CONST
#else
#define SCRYPT_SEAM_CONST const
#endif

#if defined(__x86_64__) || defined(_M_X64)
#define SCRYPT_X86_64 1
#else
#define SCRYPT_X86_64 0
#endif

#endif
