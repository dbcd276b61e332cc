# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staging tree of the Debian
# package, before it is packed: compresses the man pages and adds the
# changelog, both with gzip -9n (no name, no time stamp), as Debian's policy
# asks.  A plain `cmake --install` keeps the pages uncompressed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
find_program(GZIP gzip REQUIRED)
set(usr ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})

function(gzip_into source target)
    execute_process(COMMAND ${GZIP} -9nc ${source} OUTPUT_FILE ${target}
        RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "gzip ${source} failed")
    endif()
endfunction()

file(GLOB pages ${usr}/${CPACK_SCRYPT_VORNIK_MANDIR}/man*/*)
foreach(page IN LISTS pages)
    if(NOT page MATCHES "\\.gz$")
        gzip_into(${page} ${page}.gz)
        file(REMOVE ${page})
    endif()
endforeach()
gzip_into(${CPACK_SCRYPT_VORNIK_CHANGELOG} ${usr}/${CPACK_SCRYPT_VORNIK_DOCDIR}/changelog.gz)
