# libsodium, a peer several tests compare with, found once through
# pkg-config for the whole test tree: sets SCRYPT_SODIUM_FOUND and, when
# found, the imported target PkgConfig::SCRYPT_SODIUM (global, so every test
# directory links the same one).  Included by each directory that needs it.
include_guard(GLOBAL)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(SCRYPT_SODIUM QUIET IMPORTED_TARGET GLOBAL libsodium)
endif()
