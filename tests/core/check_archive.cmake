# Checks the shipped archive and the C host linked against it:
#   - nm lists exactly the two exported functions as defined globals;
#   - the archive needs nothing from the C++ runtime;
#   - nothing in it runs when a program that links it is loaded;
#   - the C host does not load libstdc++.
foreach(var NM ARCHIVE HOST READELF)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} not set")
    endif()
endforeach()

execute_process(COMMAND ${NM} -g --defined-only ${ARCHIVE} OUTPUT_VARIABLE out
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\n[0-9a-f]+ [A-Za-z] [^\n]+" defs "\n${out}")
set(names)
foreach(d ${defs})
    string(REGEX REPLACE "^\n[0-9a-f]+ [A-Za-z] " "" name "${d}")
    list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected scrypt scrypt_hash_password scrypt_password_needs_rehash scrypt_set_fatal_error
    scrypt_verify_password)
if(NOT names STREQUAL expected)
    message(FATAL_ERROR "archive exports [${names}], expected exactly [${expected}]")
endif()

execute_process(COMMAND ${NM} -u ${ARCHIVE} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
if(undefined MATCHES "_Z|__cxa|__gxx|_Unwind")
    message(FATAL_ERROR "archive needs the C++ runtime:\n${undefined}")
endif()

# A sanitizer's instrumentation registers each object at load time; only an
# uninstrumented archive can show that the library's own code does not.
if(undefined MATCHES "__asan_|__tsan_|__msan_")
    message(STATUS "load-time check left out: the archive is instrumented by a sanitizer")
else()
    execute_process(COMMAND ${READELF} -S -W ${ARCHIVE} OUTPUT_VARIABLE sections
                    COMMAND_ERROR_IS_FATAL ANY)
    if(sections MATCHES "\\.(init_array|ctors|preinit_array)")
        message(FATAL_ERROR "archive has code that runs at load time:\n${sections}")
    endif()
endif()

execute_process(COMMAND ${READELF} -d ${HOST} OUTPUT_VARIABLE dyn COMMAND_ERROR_IS_FATAL ANY)
if(dyn MATCHES "libstdc\\+\\+|libgcc_s")
    message(FATAL_ERROR "the C host loads the C++ runtime:\n${dyn}")
endif()
message(STATUS "exports: ${names}; no C++ runtime needed")
