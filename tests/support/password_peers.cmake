# scrypt_password_peers(<target>): links <target> with the peers that read
# and write password strings, each one that is found, and defines for each a
# macro that the test checks (a test whose peer is missing is skipped and
# says which package it needs):
#   SCRYPT_TEST_SODIUM=1            libsodium (libsodium-dev)
#   SCRYPT_TEST_XCRYPT=1            libxcrypt's crypt(3) with crypt_gensalt_rn
#                                   (libcrypt-dev)
#   SCRYPT_TEST_PASSLIB_PYTHON=...  a /usr/bin/python3 that imports passlib
#                                   (python3-passlib)
function(scrypt_password_peers target)
    include(${PROJECT_SOURCE_DIR}/cmake/libsodium.cmake)
    if(SCRYPT_SODIUM_FOUND)
        target_link_libraries(${target} PRIVATE PkgConfig::SCRYPT_SODIUM)
        target_compile_definitions(${target} PRIVATE SCRYPT_TEST_SODIUM=1)
    endif()

    include(CheckSymbolExists)
    find_path(SCRYPT_CRYPT_INCLUDE_DIR crypt.h)
    find_library(SCRYPT_CRYPT_LIBRARY crypt)
    if(SCRYPT_CRYPT_INCLUDE_DIR AND SCRYPT_CRYPT_LIBRARY)
        set(CMAKE_REQUIRED_INCLUDES ${SCRYPT_CRYPT_INCLUDE_DIR})
        set(CMAKE_REQUIRED_LIBRARIES ${SCRYPT_CRYPT_LIBRARY})
        check_symbol_exists(crypt_gensalt_rn crypt.h SCRYPT_HAVE_CRYPT_GENSALT_RN)
        unset(CMAKE_REQUIRED_INCLUDES)
        unset(CMAKE_REQUIRED_LIBRARIES)
    endif()
    if(SCRYPT_HAVE_CRYPT_GENSALT_RN)
        target_include_directories(${target} PRIVATE ${SCRYPT_CRYPT_INCLUDE_DIR})
        target_link_libraries(${target} PRIVATE ${SCRYPT_CRYPT_LIBRARY})
        target_compile_definitions(${target} PRIVATE SCRYPT_TEST_XCRYPT=1)
    endif()

    find_program(SCRYPT_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
    if(SCRYPT_PYTHON3)
        execute_process(COMMAND ${SCRYPT_PYTHON3} -c "import passlib.hash"
                        RESULT_VARIABLE passlib_missing OUTPUT_QUIET ERROR_QUIET)
        if(passlib_missing EQUAL 0)
            target_compile_definitions(${target} PRIVATE
                SCRYPT_TEST_PASSLIB_PYTHON="${SCRYPT_PYTHON3}")
        endif()
    endif()
endfunction()
