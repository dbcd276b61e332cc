# check_links_catches.cmake: check_links.cmake, run on the fixture in
# broken/, must fail and report exactly the faults planted there (a missing
# page, a missing heading, a broken link on a page nothing links to, that
# page itself, a README over its length), and none of the valid links beside
# them (anchors of headings with code and punctuation, a repeated heading,
# a directory, an image, links inside code).  Run with
#   cmake -DCHECKER=<check_links.cmake> -DFIXTURE=<broken/> -P check_links_catches.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${FIXTURE} -DMAX_README_LINES=5 -P ${CHECKER}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
    message(FATAL_ERROR "the checker passed a tree with broken links:\n${out}${err}")
endif()
string(REGEX MATCHALL "\n    [^\n]+" reported "${err}")
list(TRANSFORM reported REPLACE "^\n +" "")
list(SORT reported)
set(expected
    "README.md: 11 lines, more than 5: move detail into docs/"
    "README.md: link to docs/good.md#no-such-heading: no such heading"
    "README.md: link to docs/missing.md: no such file"
    "docs/orphan.md: link to nowhere.md: no such file"
    "docs/orphan.md: not reachable from README.md")
list(SORT expected)
if(NOT reported STREQUAL expected)
    string(REPLACE ";" "\n  " reported_text "${reported}")
    string(REPLACE ";" "\n  " expected_text "${expected}")
    message(FATAL_ERROR "reported:\n  ${reported_text}\nexpected:\n  ${expected_text}\n"
                        "checker's output:\n${out}${err}")
endif()
message(STATUS "the checker reports exactly the planted faults")
