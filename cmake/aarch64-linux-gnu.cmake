# Cross-compiling for 64-bit ARM Linux with Debian's cross toolchain
# (packages g++-aarch64-linux-gnu and, to run the results, qemu-user):
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Off x86-64 the library has no processor detection and no vector forms: it
# always runs its portable mixing code.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(SCRYPT_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${SCRYPT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SCRYPT_CROSS_TRIPLE}-g++)
# The archive is made with `ld -r` and `objcopy`: they must be the target's.
find_program(CMAKE_LINKER NAMES ${SCRYPT_CROSS_TRIPLE}-ld)
find_program(CMAKE_OBJCOPY NAMES ${SCRYPT_CROSS_TRIPLE}-objcopy)
find_program(CMAKE_AR NAMES ${SCRYPT_CROSS_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${SCRYPT_CROSS_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${SCRYPT_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run on this machine under user-mode emulation, with the
# target's C library taken from the cross toolchain's sysroot.
find_program(SCRYPT_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(SCRYPT_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SCRYPT_QEMU_AARCH64} -L /usr/${SCRYPT_CROSS_TRIPLE})
endif()
