# Helpers for the test scripts that check what an archive exports (run with
# `cmake -P`): the archive must define as globals exactly the functions that
# the public header declares, so the check stays true as functions are added.

# public_functions(<var> <header>): the names of the functions the header
# declares with SCRYPT_VORNIK_API at the start of a line, sorted.
function(public_functions var header)
    file(READ ${header} text)
    string(REGEX MATCHALL "\nSCRYPT_VORNIK_API[^;(\n]*[ *]([a-z_0-9]+)[ \t]*\\(" decls "${text}")
    set(names)
    foreach(d ${decls})
        string(REGEX REPLACE ".*[ *]([a-z_0-9]+)[ \t]*\\($" "\\1" name "${d}")
        list(APPEND names ${name})
    endforeach()
    list(SORT names)
    if(NOT names)
        message(FATAL_ERROR "no SCRYPT_VORNIK_API functions found in ${header}")
    endif()
    set(${var} "${names}" PARENT_SCOPE)
endfunction()

# defined_globals(<var> <nm> <archive>): the global symbols the archive
# defines, sorted.
function(defined_globals var nm archive)
    execute_process(COMMAND ${nm} -g --defined-only ${archive} OUTPUT_VARIABLE out
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "[ \t][A-Za-z][ \t][^\n]+" defs "${out}")
    list(TRANSFORM defs REPLACE "^[ \t][A-Za-z][ \t]" "")
    list(SORT defs)
    set(${var} "${defs}" PARENT_SCOPE)
endfunction()

# check_exports(<nm> <archive> <header>): fails unless the archive's defined
# globals are exactly the header's functions; leaves them in `exports`.
function(check_exports nm archive header)
    public_functions(want ${header})
    defined_globals(got ${nm} ${archive})
    if(NOT got STREQUAL want)
        message(FATAL_ERROR "${archive} exports [${got}], "
                            "expected exactly the public header's functions [${want}]")
    endif()
    set(exports "${got}" PARENT_SCOPE)
endfunction()
