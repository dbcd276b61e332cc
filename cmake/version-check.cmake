# The public header carries the version as hand-written macros, so that it
# can be used straight from the source tree.  This check keeps them equal to
# the version given to project(): a release bumps both or the build stops.
function(scrypt_vornik_check_header_version header)
    file(STRINGS ${header} lines REGEX "^#define SCRYPT_VORNIK_VERSION_")
    foreach(part MAJOR MINOR PATCH STRING)
        set(value "")
        foreach(line IN LISTS lines)
            if(line MATCHES "^#define SCRYPT_VORNIK_VERSION_${part}[ \t]+\"?([^\" \t]+)\"?[ \t]*$")
                set(value ${CMAKE_MATCH_1})
            endif()
        endforeach()
        if(part STREQUAL "STRING")
            set(expected ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
        else()
            set(expected ${PROJECT_VERSION_${part}})
        endif()
        if(NOT value STREQUAL expected)
            message(FATAL_ERROR
                "${header}: SCRYPT_VORNIK_VERSION_${part} is '${value}', but the project "
                "version is ${PROJECT_VERSION}; update the header's version macros.")
        endif()
    endforeach()
endfunction()

scrypt_vornik_check_header_version(${PROJECT_SOURCE_DIR}/lib/include/scrypt-vornik.h)
