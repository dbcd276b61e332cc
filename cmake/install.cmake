# Installation and packaging of scrypt-vornik: the static archive, its header,
# a CMake package, a pkg-config file, the man pages, hexlines and scrypt-vornik
# (their own rules in tools/) and the licence; `cpack -G DEB` turns the same set into a
# Debian package.  Tests, benchmarks and examples are never installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SCRYPT_VORNIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/scrypt-vornik
    CACHE STRING "Where the CMake package files are installed, relative to the prefix")
set(SCRYPT_VORNIK_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    CACHE STRING "Where scrypt-vornik.pc is installed, relative to the prefix")
set(SCRYPT_VORNIK_COPYRIGHT "the scrypt-vornik developers")

# --- Library, header, CMake package -----------------------------------------
install(TARGETS scrypt-vornik EXPORT scrypt-vornik-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/lib/include/scrypt-vornik.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT scrypt-vornik-targets
    NAMESPACE scrypt-vornik::
    FILE scrypt-vornik-targets.cmake
    DESTINATION ${SCRYPT_VORNIK_CMAKE_DIR})

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/scrypt-vornik-config.cmake.in
    ${PROJECT_BINARY_DIR}/scrypt-vornik-config.cmake
    INSTALL_DESTINATION ${SCRYPT_VORNIK_CMAKE_DIR})
# A host asking for 1.x gets any 1.y.z.  The archive is built for one
# processor, so the version file also rejects a host of another pointer size.
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/scrypt-vornik-config-version.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/scrypt-vornik-config.cmake
    ${PROJECT_BINARY_DIR}/scrypt-vornik-config-version.cmake
    DESTINATION ${SCRYPT_VORNIK_CMAKE_DIR})

# --- pkg-config ---------------------------------------------------------------
# The .pc file finds its prefix from its own location (${pcfiledir}), so the
# installed tree may be moved, and `cmake --install --prefix DIR` works with
# any DIR.  Directories given as absolute paths are written as they are.
function(scrypt_vornik_pc_dir var dir)
    if(IS_ABSOLUTE "${dir}")
        set(${var} "${dir}" PARENT_SCOPE)
    else()
        set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
    endif()
endfunction()
if(IS_ABSOLUTE "${SCRYPT_VORNIK_PKGCONFIG_DIR}")
    message(FATAL_ERROR "SCRYPT_VORNIK_PKGCONFIG_DIR must be relative to the prefix")
endif()
file(RELATIVE_PATH SCRYPT_VORNIK_PC_PREFIX
    /prefix/${SCRYPT_VORNIK_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" SCRYPT_VORNIK_PC_PREFIX "${SCRYPT_VORNIK_PC_PREFIX}")
scrypt_vornik_pc_dir(SCRYPT_VORNIK_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
scrypt_vornik_pc_dir(SCRYPT_VORNIK_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/scrypt-vornik.pc.in
    ${PROJECT_BINARY_DIR}/scrypt-vornik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/scrypt-vornik.pc
    DESTINATION ${SCRYPT_VORNIK_PKGCONFIG_DIR})

# --- Man pages and licence ------------------------------------------------------
# The pages carry the project version.  scrypt_derive_key and scrypt_strerror
# have pages of their own; the names scrypt and scrypt_set_fatal_error lead
# to the library's page, the three password functions to theirs.
foreach(page hexlines.1 scrypt-vornik.1 scrypt-vornik.3 scrypt_derive_key.3 scrypt_strerror.3
        scrypt_hash_password.3 scrypt_calibrate.3)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/man/hexlines.1 ${PROJECT_BINARY_DIR}/man/scrypt-vornik.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES
    ${PROJECT_BINARY_DIR}/man/scrypt-vornik.3
    ${PROJECT_BINARY_DIR}/man/scrypt_derive_key.3
    ${PROJECT_BINARY_DIR}/man/scrypt_strerror.3
    ${PROJECT_BINARY_DIR}/man/scrypt_calibrate.3
    ${PROJECT_SOURCE_DIR}/man/scrypt.3
    ${PROJECT_SOURCE_DIR}/man/scrypt_set_fatal_error.3
    ${PROJECT_BINARY_DIR}/man/scrypt_hash_password.3
    ${PROJECT_SOURCE_DIR}/man/scrypt_verify_password.3
    ${PROJECT_SOURCE_DIR}/man/scrypt_password_needs_rehash.3
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# The licence in Debian's machine-readable copyright format, which is where
# a Debian package carries it (/usr/share/doc/scrypt-vornik/copyright).
# The maintainer must carry a mail address; the project's own is in the
# reserved .invalid domain, which names no real host.
set(CPACK_PACKAGE_CONTACT "scrypt-vornik developers <scrypt-vornik@users.noreply.invalid>"
    CACHE STRING "Maintainer named in the Debian package")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
if(license_text MATCHES "Copyright \\(c\\) ([^\n]+)")
    set(SCRYPT_VORNIK_COPYRIGHT "${CMAKE_MATCH_1}")
endif()
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REGEX REPLACE "\n" "\n " license_text "${license_text}")
set(SCRYPT_VORNIK_LICENSE_TEXT " ${license_text}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- Debian package (cpack -G DEB) ---------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scrypt-vornik)
set(CPACK_PACKAGE_VENDOR "${SCRYPT_VORNIK_COPYRIGHT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "scrypt-vornik is a static C library (libscrypt-vornik.a) that derives keys with
the scrypt function of RFC 7914.  It tests itself on first use, picks the
fastest mixing code the processor supports, and needs nothing but the C
library.  The package holds the archive, its header, a CMake package, a
pkg-config file, man pages, the scrypt-vornik program (password strings,
keys and calibrated parameters from the shell) and the hexlines filter
program.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What Debian's policy asks of a package beyond the installed files: a
# stripped hexlines and scrypt-vornik, man pages compressed with gzip -9n and a changelog
# (cmake/deb-staging.cmake adds the last two in cpack's staging tree).
set(CPACK_STRIP_FILES ON)
# (A new version adds its entry, with its date, at the top of changelog.in.)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
set(CPACK_SCRYPT_VORNIK_CHANGELOG ${PROJECT_BINARY_DIR}/changelog)
set(CPACK_SCRYPT_VORNIK_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_SCRYPT_VORNIK_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-staging.cmake)
if(CMAKE_CROSSCOMPILING)
    # dpkg would report the build machine's architecture, and dpkg-shlibdeps
    # cannot read the target's libraries: name both here.
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    endif()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
else()
    # The programs link the C library (and scrypt-vornik the C++ runtime);
    # dpkg-shlibdeps writes the versions.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
