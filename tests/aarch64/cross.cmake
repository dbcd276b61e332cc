# Cross-builds the library for aarch64 with Debian's cross compiler and runs
# two hosts under qemu-aarch64: the shipped archive must reproduce the three
# scrypt test vectors of RFC 7914 (checked against OpenSSL on this machine),
# and the library must report no processor features, choose the portable
# form and pass its power-on self-test.  Run with cmake -P:
#   ROOT (source tree), WORK (build directory), ORACLE, GENERATOR
cmake_minimum_required(VERSION 3.25)

set(triple aarch64-linux-gnu)
find_program(CROSS_CC ${triple}-gcc)
find_program(CROSS_CXX ${triple}-g++)
find_program(CROSS_NM ${triple}-nm)
find_program(CROSS_READELF ${triple}-readelf)
find_program(QEMU NAMES qemu-aarch64 qemu-aarch64-static)
foreach(tool CROSS_CC CROSS_CXX CROSS_NM CROSS_READELF QEMU)
    if(NOT ${tool})
        message("SKIPPED: no ${tool} (install g++-aarch64-linux-gnu and qemu-user)")
        return()
    endif()
endforeach()
set(sysroot /usr/${triple})

include(${ROOT}/tests/support/run.cmake)

file(REMOVE_RECURSE ${WORK})
run(out ${CMAKE_COMMAND} -S ${ROOT}/tests/aarch64/host -B ${WORK} -G ${GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${ROOT}/cmake/aarch64-linux-gnu.cmake
    -DCMAKE_BUILD_TYPE=Release -DSCRYPT_VORNIK_SOURCE=${ROOT} -DSCRYPT_VORNIK_WERROR=ON)
run(out ${CMAKE_COMMAND} --build ${WORK} -j2)

# The programs are aarch64 code, not this machine's.
foreach(program derive portable)
    run(header ${CROSS_READELF} -h ${WORK}/${program})
    if(NOT header MATCHES "Machine:[ \t]+AArch64")
        message(FATAL_ERROR "${program} is not an aarch64 program:\n${header}")
    endif()
endforeach()

# The archive holds no x86-64 code and exports only the public functions.
file(GLOB_RECURSE archive ${WORK}/libscrypt-vornik.a)
run(symbols ${CROSS_NM} ${archive})
if(symbols MATCHES "(_sse2|_avx|_xop)[^\n]*")
    message(FATAL_ERROR "the aarch64 archive holds an x86-64 form: ${CMAKE_MATCH_0}")
endif()
include(${ROOT}/tests/support/exports.cmake)
check_exports(${CROSS_NM} ${archive} ${ROOT}/lib/include/scrypt-vornik.h)

# No features, the portable form as the only one, every self-test part passed.
run(out ${QEMU} -L ${sysroot} ${WORK}/portable)
set(want "features 0\nform basic\nforms 1\nselftest 7\n")
if(NOT out STREQUAL want)
    message(FATAL_ERROR "portable printed\n${out}expected\n${want}")
endif()
message("aarch64: no processor features, portable form, self-test 7")

# check_vector(password salt Nfactor rfactor pfactor N r p): RFC 7914's test
# vectors are 64 bytes long.
function(check_vector password salt Nfactor rfactor pfactor N r p)
    # Spelled out rather than through run(): an empty password or salt must
    # reach the programs as an empty argument.
    execute_process(COMMAND ${ORACLE} "${password}" "${salt}" ${Nfactor} ${rfactor} ${pfactor} 64
        RESULT_VARIABLE want_rc OUTPUT_VARIABLE want)
    execute_process(
        COMMAND ${QEMU} -L ${sysroot} ${WORK}/derive "${password}" "${salt}"
                ${Nfactor} ${rfactor} ${pfactor} 64
        RESULT_VARIABLE got_rc OUTPUT_VARIABLE got ERROR_VARIABLE got_err)
    string(LENGTH "${want}" length)
    if(NOT want_rc EQUAL 0 OR NOT length EQUAL 129)
        message(FATAL_ERROR "oracle failed (${want_rc}): '${want}'")
    endif()
    if(NOT got_rc EQUAL 0 OR NOT got STREQUAL want)
        message(FATAL_ERROR "'${password}' '${salt}' N=${N} r=${r} p=${p}:\n"
                            "aarch64 (status ${got_rc}): ${got}${got_err}\nOpenSSL: ${want}")
    endif()
    message("aarch64: '${password}' '${salt}' N=${N} r=${r} p=${p} matches OpenSSL")
endfunction()

check_vector("" "" 3 0 0 16 1 1)
check_vector("password" "NaCl" 9 3 4 1024 8 16)
check_vector("pleaseletmein" "SodiumChloride" 13 3 0 16384 8 1)
