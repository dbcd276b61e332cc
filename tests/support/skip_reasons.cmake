# Prints every skipped test of the last ctest run with the reason it gave.
# ctest runs this after the tests (CTEST_CUSTOM_POST_TEST in the build tree's
# CTestCustom.cmake): by itself it shows a skipped test's output nowhere but
# in Testing/Temporary/LastTest.log, even with --output-on-failure.
#
#   cmake -DLOG_DIR=<build>/Testing/Temporary -P skip_reasons.cmake
#
# A test counts as skipped when its skip pattern matched (every skipping test
# here uses SKIP_REGULAR_EXPRESSION; GoogleTest's discovered tests match
# "[  SKIPPED ]").  Its reason is its output less GoogleTest's own lines.
cmake_minimum_required(VERSION 3.25)

# While ctest runs this, the run's log is still LastTest.log.tmp (renamed to
# LastTest.log when ctest ends; LastTest_<time>.log for a dashboard run, -T
# Test); run by hand, the newest complete log.
file(GLOB logs "${LOG_DIR}/LastTest.log.tmp" "${LOG_DIR}/LastTest_*.log.tmp")
if(NOT logs)
    file(GLOB logs "${LOG_DIR}/LastTest.log" "${LOG_DIR}/LastTest_*.log")
endif()
set(log "")
foreach(candidate IN LISTS logs)
    if(log STREQUAL "" OR "${candidate}" IS_NEWER_THAN "${log}")
        set(log "${candidate}")
    endif()
endforeach()
if(log STREQUAL "")
    return()
endif()
file(READ ${log} text)
# Lines become list items below: keep the output's own semicolons out of it.
string(ASCII 31 semicolon)
string(REPLACE ";" "${semicolon}" text "${text}")

set(marker "Skip regular expression found in output")
set(report "")
set(count 0)
while(TRUE)
    string(FIND "${text}" "${marker}" at)
    if(at EQUAL -1)
        break()
    endif()
    string(SUBSTRING "${text}" 0 ${at} before)
    string(LENGTH "${marker}" skip)
    math(EXPR rest "${at} + ${skip}")
    string(SUBSTRING "${text}" ${rest} -1 text)

    # The test's name and output, the last ones before the marker.
    string(FIND "${before}" "\n<end of output>" end_at REVERSE)
    string(FIND "${before}" "\nOutput:\n" output_at REVERSE)
    if(output_at EQUAL -1 OR end_at LESS output_at)
        continue()
    endif()
    string(SUBSTRING "${before}" 0 ${output_at} header)
    string(FIND "${header}" " Testing: " name_at REVERSE)
    if(name_at EQUAL -1)
        continue()
    endif()
    math(EXPR name_at "${name_at} + 10")
    string(SUBSTRING "${header}" ${name_at} -1 name)
    string(REGEX REPLACE "\n.*" "" name "${name}")
    math(EXPR output_at "${output_at} + 9")
    math(EXPR length "${end_at} - ${output_at}")
    string(SUBSTRING "${before}" ${output_at} ${length} output)

    string(REGEX MATCHALL "[^\n]+" lines "${output}")
    set(reason "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^(-+|\\[.*|Running main\\(\\).*|Note: Google Test filter.*|.*: Skipped)$")
            continue()
        endif()
        string(STRIP "${line}" line)
        string(APPEND reason " ${line}")
    endforeach()
    string(STRIP "${reason}" reason)
    string(LENGTH "${reason}" length)
    if(length GREATER 400)
        string(SUBSTRING "${reason}" 0 400 reason)
        string(APPEND reason " ...")
    endif()
    if(NOT reason)
        set(reason "(no reason printed)")
    endif()
    string(APPEND report "  ${name}: ${reason}\n")
    math(EXPR count "${count} + 1")
endwhile()

if(count GREATER 0)
    string(REPLACE "${semicolon}" ";" report "${report}")
    message("\nSkipped tests (${count}) and their reasons:\n${report}")
endif()
