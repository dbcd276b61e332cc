# derive_check.cmake: runs the demo (DERIVE) with its defaults and with
# a shorter key, and compares the keys it prints with OpenSSL's (ORACLE).
include(${ROOT}/tests/support/run.cmake)

# check(ORACLE <args> [DEMO <args>]): the demo's key must be the oracle's;
# leaves what the demo printed in `out`.
function(check)
    cmake_parse_arguments(C "" "" "ORACLE;DEMO" ${ARGN})
    set(demo_args ${C_DEMO})
    run(want ${ORACLE} ${C_ORACLE})
    string(STRIP "${want}" want)
    run(out ${DERIVE} ${demo_args})
    if(NOT out MATCHES "\nkey: ${want}\n")
        message(FATAL_ERROR "derive ${demo_args} printed\n${out}\nexpected the key ${want}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

check(ORACLE password NaCl 9 3 4 64)
if(NOT out MATCHES "\ncheck: the key equals RFC 7914's test vector 2\n")
    message(FATAL_ERROR "with its defaults, derive did not report the match:\n${out}")
endif()
check(ORACLE password NaCl 9 3 4 32 DEMO -l 32)
if(out MATCHES "check:")
    message(FATAL_ERROR "derive -l 32 compared a key of other parameters with the vector:\n${out}")
endif()
message("derive: the vector's key, reported as equal; no claim for other parameters")
