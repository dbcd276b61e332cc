# Builds and runs one consumer of scrypt-vornik the way a user would, and
# checks what it prints against OpenSSL's scrypt.  Run with cmake -P:
#
#   MODE     install    cmake --install the build into WORK/prefix and check
#                       the installed files (the other modes then use them)
#            package    host project with find_package(scrypt-vornik)
#            pkgconfig  host compiled by hand with pkg-config's flags
#            plain      host compiled by hand with -I, -L and -l
#            subdir     host project with add_subdirectory(source tree)
#            deb        cpack -G DEB, check the package's metadata and files,
#                       then build the C host against its extracted content
#            lintian    run lintian on the package that deb made
#   HOST     c or cxx
#   ROOT, BUILD, WORK, ORACLE, VERSION, GENERATOR, C_COMPILER, CXX_COMPILER,
#   BINDIR, LIBDIR, INCLUDEDIR, MANDIR, DOCDIR, CMAKE_DIR, PKGCONFIG_DIR
cmake_minimum_required(VERSION 3.25)

set(HOSTS ${CMAKE_CURRENT_LIST_DIR})
set(PREFIX ${WORK}/prefix)

function(skip reason)
    message("SKIPPED: ${reason}")
endfunction()

include(${ROOT}/tests/support/run.cmake)
include(${ROOT}/tests/support/exports.cmake)

# The key of RFC 7914's second test vector, from the oracle.
function(expected_key var)
    run(key ${ORACLE} password NaCl 9 3 4 64)
    string(STRIP "${key}" key)
    string(LENGTH "${key}" length)
    if(NOT length EQUAL 128)
        message(FATAL_ERROR "oracle printed '${key}'")
    endif()
    set(${var} ${key} PARENT_SCOPE)
endfunction()

# Runs a built host and checks its two lines: the header's version and the key.
function(check_host program)
    run(out ${program})
    expected_key(key)
    set(want "scrypt-vornik ${VERSION} ${VERSION}\n${key}\n")
    if(NOT out STREQUAL want)
        message(FATAL_ERROR "${program} printed\n${out}expected\n${want}")
    endif()
    message("${program}: version ${VERSION}, key matches OpenSSL")
endfunction()

# configure_and_build(<dir> <cmake args>...): the host project of HOST.
function(configure_and_build dir)
    file(REMOVE_RECURSE ${dir})
    run(out ${CMAKE_COMMAND} -S ${HOSTS}/${HOST}-host -B ${dir} -G ${GENERATOR}
        -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
        -DCMAKE_BUILD_TYPE=Release ${ARGN})
    run(out ${CMAKE_COMMAND} --build ${dir} -j2)
endfunction()

# Reads a man page, compressed or not.
function(read_page var path)
    if(path MATCHES "\\.gz$")
        run(text gzip -dc ${path})
    else()
        file(READ ${path} text)
    endif()
    set(${var} "${text}" PARENT_SCOPE)
endfunction()

# Each further argument names a page of section 3 in `dir` (compressed when
# `z` is ".gz") that must be a link to the page `target`.
function(expect_links dir z target)
    foreach(page ${ARGN})
        read_page(text ${dir}/${page}.3${z})
        if(NOT text STREQUAL ".so man3/${target}.3\n")
            message(FATAL_ERROR "${page}.3 holds '${text}'")
        endif()
    endforeach()
endfunction()

# The files an install must hold below `root`: exactly these, nothing more.
# With DEB, the Debian package's: man pages compressed, and a changelog.
function(check_installed_files root)
    file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
    set(z "")
    set(deb_only "")
    if(ARGV1 STREQUAL "DEB")
        set(z .gz)
        set(deb_only ${DOCDIR}/changelog.gz)
    endif()
    set(want
        ${BINDIR}/hexlines
        ${BINDIR}/scrypt-vornik
        ${INCLUDEDIR}/scrypt-vornik.h
        ${LIBDIR}/libscrypt-vornik.a
        ${CMAKE_DIR}/scrypt-vornik-config.cmake
        ${CMAKE_DIR}/scrypt-vornik-config-version.cmake
        ${CMAKE_DIR}/scrypt-vornik-targets.cmake
        ${PKGCONFIG_DIR}/scrypt-vornik.pc
        ${MANDIR}/man1/hexlines.1${z}
        ${MANDIR}/man1/scrypt-vornik.1${z}
        ${MANDIR}/man3/scrypt-vornik.3${z}
        ${MANDIR}/man3/scrypt_derive_key.3${z}
        ${MANDIR}/man3/scrypt_strerror.3${z}
        ${MANDIR}/man3/scrypt_calibrate.3${z}
        ${MANDIR}/man3/scrypt.3${z}
        ${MANDIR}/man3/scrypt_set_fatal_error.3${z}
        ${MANDIR}/man3/scrypt_hash_password.3${z}
        ${MANDIR}/man3/scrypt_verify_password.3${z}
        ${MANDIR}/man3/scrypt_password_needs_rehash.3${z}
        ${DOCDIR}/copyright
        ${deb_only})
    set(missing ${want})
    list(REMOVE_ITEM missing ${found})
    set(extra ${found})
    list(REMOVE_ITEM extra ${want})
    # One file of imported locations per configuration.
    list(FILTER extra EXCLUDE REGEX "^${CMAKE_DIR}/scrypt-vornik-targets-[a-z]+\\.cmake$")
    if(missing OR extra)
        message(FATAL_ERROR "installed files under ${root}:\n  missing: ${missing}\n  unexpected: ${extra}")
    endif()
    # The section 3 names lead to the library's page, which names both; the
    # password functions' names lead to their own page.
    set(man3 ${root}/${MANDIR}/man3)
    expect_links(${man3} "${z}" scrypt-vornik scrypt scrypt_set_fatal_error)
    expect_links(${man3} "${z}" scrypt_hash_password scrypt_verify_password
                 scrypt_password_needs_rehash)
    read_page(text ${root}/${MANDIR}/man3/scrypt_hash_password.3${z})
    if(NOT text MATCHES "scrypt-vornik ${VERSION}" OR NOT text MATCHES "scrypt_password_needs_rehash")
        message(FATAL_ERROR "scrypt_hash_password.3 lacks the version or a password function")
    endif()
    read_page(text ${root}/${MANDIR}/man3/scrypt-vornik.3${z})
    if(NOT text MATCHES "scrypt-vornik ${VERSION}" OR NOT text MATCHES "scrypt_set_fatal_error")
        message(FATAL_ERROR "scrypt-vornik.3 lacks the version or the handler function")
    endif()
    # The status-returning functions have pages of their own.
    foreach(page scrypt_derive_key scrypt_strerror)
        read_page(text ${root}/${MANDIR}/man3/${page}.3${z})
        if(NOT text MATCHES "scrypt-vornik ${VERSION}" OR NOT text MATCHES "\\.SH NAME\n${page}[ ,]")
            message(FATAL_ERROR "${page}.3 lacks the version or its name")
        endif()
    endforeach()
    # Only the installed header's functions are global in the installed
    # archive.  Without a symbol lister that cannot be seen, and the install
    # is not called good unchecked.
    find_program(NM NAMES nm llvm-nm)
    if(NOT NM)
        message(FATAL_ERROR "neither nm nor llvm-nm was found: the exports of the installed "
                            "archive cannot be checked (install binutils)")
    endif()
    check_exports(${NM} ${root}/${LIBDIR}/libscrypt-vornik.a ${root}/${INCLUDEDIR}/scrypt-vornik.h)
    message("${root}: the expected ${CMAKE_DIR}, archive, header, .pc, man pages, hexlines and copyright")
endfunction()

if(MODE STREQUAL "install")
    file(REMOVE_RECURSE ${PREFIX})
    run(out ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX})
    check_installed_files(${PREFIX})

elseif(MODE STREQUAL "package")
    set(dir ${WORK}/package-${HOST})
    configure_and_build(${dir} -DCMAKE_PREFIX_PATH=${PREFIX})
    # The package found must be the one just installed, not a system copy.
    file(STRINGS ${dir}/CMakeCache.txt found REGEX "^scrypt-vornik_DIR:")
    if(NOT found STREQUAL "scrypt-vornik_DIR:PATH=${PREFIX}/${CMAKE_DIR}")
        message(FATAL_ERROR "find_package used ${found}")
    endif()
    check_host(${dir}/${HOST}-host)

elseif(MODE STREQUAL "pkgconfig")
    find_program(PKG_CONFIG NAMES pkg-config pkgconf)
    if(NOT PKG_CONFIG)
        skip("pkg-config is not installed")
        return()
    endif()
    set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${PKGCONFIG_DIR})
    run(modversion ${PKG_CONFIG} --modversion scrypt-vornik)
    string(STRIP "${modversion}" modversion)
    if(NOT modversion STREQUAL VERSION)
        message(FATAL_ERROR "pkg-config reports version '${modversion}', not ${VERSION}")
    endif()
    run(flags ${PKG_CONFIG} --cflags --libs scrypt-vornik)
    if(NOT flags MATCHES "-I${PREFIX}/" OR NOT flags MATCHES "-L${PREFIX}/")
        message(FATAL_ERROR "pkg-config flags do not point into ${PREFIX}: ${flags}")
    endif()
    set(dir ${WORK}/pkgconfig-${HOST})
    file(REMOVE_RECURSE ${dir})
    file(MAKE_DIRECTORY ${dir})
    # The command a user types; the C host is linked by the C compiler alone.
    if(HOST STREQUAL "c")
        set(ENV{CC} ${C_COMPILER})
        set(command "\"$CC\" main.c $(pkg-config --cflags --libs scrypt-vornik) -o ${dir}/host")
    else()
        set(ENV{CXX} ${CXX_COMPILER})
        set(command "\"$CXX\" -std=c++17 main.cpp $(pkg-config --cflags --libs scrypt-vornik) -o ${dir}/host")
    endif()
    message("${command}")
    execute_process(COMMAND sh -c "${command}" WORKING_DIRECTORY ${HOSTS}/${HOST}-host
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "build failed:\n${out}")
    endif()
    check_host(${dir}/host)

elseif(MODE STREQUAL "plain")
    # No helper at all: the compiler is pointed at the installed header and
    # archive.
    set(dir ${WORK}/plain-${HOST})
    file(REMOVE_RECURSE ${dir})
    file(MAKE_DIRECTORY ${dir})
    set(paths -I${PREFIX}/${INCLUDEDIR} -L${PREFIX}/${LIBDIR} -lscrypt-vornik)
    if(HOST STREQUAL "c")
        run(out ${C_COMPILER} ${HOSTS}/c-host/main.c ${paths} -o ${dir}/host)
    else()
        run(out ${CXX_COMPILER} -std=c++17 ${HOSTS}/cxx-host/main.cpp ${paths} -o ${dir}/host)
    endif()
    check_host(${dir}/host)

elseif(MODE STREQUAL "subdir")
    set(dir ${WORK}/subdir-${HOST})
    configure_and_build(${dir} -DSCRYPT_VORNIK_SOURCE=${ROOT})
    check_host(${dir}/${HOST}-host)
    # Nothing of the library's own tests, examples or install rules comes along.
    if(EXISTS ${dir}/scrypt-vornik/tests OR EXISTS ${dir}/scrypt-vornik/examples)
        message(FATAL_ERROR "add_subdirectory also configured the library's tests or examples")
    endif()
    run(out ${CMAKE_COMMAND} --install ${dir} --prefix ${dir}/installed)
    file(GLOB_RECURSE installed ${dir}/installed/*)
    if(installed)
        message(FATAL_ERROR "installing the host also installed: ${installed}")
    endif()

elseif(MODE STREQUAL "deb")
    find_program(DPKG_DEB dpkg-deb)
    find_program(DPKG dpkg)
    if(NOT DPKG_DEB OR NOT DPKG)
        skip("dpkg-deb is not installed (not a Debian system)")
        return()
    endif()
    # cpack reads hexlines' dependencies with dpkg-shlibdeps, after asking
    # `file` which files are programs.
    find_program(FILE_PROGRAM file)
    find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(NOT FILE_PROGRAM OR NOT DPKG_SHLIBDEPS)
        skip("cpack's DEB generator needs file and dpkg-shlibdeps (apt-get install file dpkg-dev)")
        return()
    endif()
    set(dir ${WORK}/deb)
    file(REMOVE_RECURSE ${dir})
    # cpack first brings the build up to date (its "preinstall" step), then
    # installs it into a staging directory and packs that.
    execute_process(COMMAND ${CMAKE_COMMAND} -E chdir ${BUILD}
            ${CMAKE_CPACK_COMMAND} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${dir}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        file(GLOB_RECURSE logs ${dir}/_CPack_Packages/*.log)
        foreach(log IN LISTS logs)
            file(READ ${log} text)
            string(APPEND out "--- ${log}\n${text}\n")
        endforeach()
        message(FATAL_ERROR "cpack failed:\n${out}")
    endif()
    run(arch ${DPKG} --print-architecture)
    string(STRIP "${arch}" arch)
    set(deb ${dir}/scrypt-vornik_${VERSION}_${arch}.deb)
    if(NOT EXISTS ${deb})
        message(FATAL_ERROR "cpack made no ${deb}:\n${out}")
    endif()
    foreach(field_value "Package=scrypt-vornik" "Version=${VERSION}" "Architecture=${arch}"
                        "Section=libdevel" "Priority=optional")
        string(REPLACE "=" ";" fv ${field_value})
        list(GET fv 0 field)
        list(GET fv 1 value)
        run(got ${DPKG_DEB} -f ${deb} ${field})
        string(STRIP "${got}" got)
        if(NOT got STREQUAL value)
            message(FATAL_ERROR "${field}: '${got}', expected '${value}'")
        endif()
    endforeach()
    run(maintainer ${DPKG_DEB} -f ${deb} Maintainer)
    if(NOT maintainer MATCHES "^[^<\n]+ <[^@>]+@[^>]+>\n?$")
        message(FATAL_ERROR "Maintainer: '${maintainer}', expected a name and a mail address")
    endif()
    run(description ${DPKG_DEB} -f ${deb} Description)
    if(NOT description MATCHES "^[^\n]*RFC 7914[^\n]*\n .+")
        message(FATAL_ERROR "Description lacks a summary or a long text:\n${description}")
    endif()
    run(depends ${DPKG_DEB} -f ${deb} Depends)
    if(NOT depends MATCHES "^libc6")
        message(FATAL_ERROR "Depends: '${depends}', expected the C library")
    endif()
    run(out ${DPKG_DEB} -x ${deb} ${dir}/root)
    check_installed_files(${dir}/root/usr DEB)
    file(READ ${dir}/root/usr/${DOCDIR}/copyright copyright)
    if(NOT copyright MATCHES "\nLicense: Expat\n" OR NOT copyright MATCHES "Permission is hereby granted")
        message(FATAL_ERROR "the package's copyright file does not carry the MIT licence")
    endif()
    # The packaged hexlines runs, and the packaged library builds a host.
    execute_process(COMMAND sh -c "printf 'hello\\n' | '${dir}/root/usr/${BINDIR}/hexlines'"
        RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "68656c6c6f\n")
        message(FATAL_ERROR "packaged hexlines printed '${out}' (status ${rc})")
    endif()
    configure_and_build(${dir}/host -DCMAKE_PREFIX_PATH=${dir}/root/usr)
    check_host(${dir}/host/${HOST}-host)

elseif(MODE STREQUAL "lintian")
    # Debian's own checker on the package that the deb mode built: no error
    # and no warning.
    find_program(LINTIAN lintian)
    if(NOT LINTIAN)
        skip("lintian is not installed (apt-get install lintian)")
        return()
    endif()
    file(GLOB debs ${WORK}/deb/scrypt-vornik_${VERSION}_*.deb)
    if(NOT debs)
        # (A failed debian_package keeps this test from running at all.)
        skip("no package in ${WORK}/deb to check: consumers.debian_package was skipped")
        return()
    endif()
    execute_process(COMMAND ${LINTIAN} --fail-on error,warning ${debs}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "lintian reports (status ${rc}):\n${out}${err}")
    endif()
    message("lintian: no errors or warnings in ${debs}\n${out}")

else()
    message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
