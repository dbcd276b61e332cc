# libsodium, a peer that the tests and the benchmark compare with, found once
# through pkg-config for the whole build: sets SCRYPT_SODIUM_FOUND (cached)
# and, when found, the imported target PkgConfig::SCRYPT_SODIUM (global, so
# every directory links the same one).  Included by each directory that
# needs it; a directory that asks whether pkg-config itself was found runs
# its own find_package(PkgConfig).
include_guard(GLOBAL)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(SCRYPT_SODIUM QUIET IMPORTED_TARGET GLOBAL libsodium)
endif()
