# Checks the shipped archive and the C host linked against it:
#   - nm lists exactly the public header's functions as defined globals;
#   - the archive needs nothing from the C++ runtime;
#   - nothing in it runs when a program that links it is loaded;
#   - the C host does not load libstdc++.
foreach(var NM ARCHIVE HOST READELF HEADER)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} not set")
    endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/../support/exports.cmake)

check_exports(${NM} ${ARCHIVE} ${HEADER})
set(names ${exports})

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
