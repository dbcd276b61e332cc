# passwd_check.cmake: the password example (PASSWD) as a script uses it, with
# the password on standard input: it prints a "$7$" string of the
# interactive-login cost, and given that string it exits 0 for the same
# password and 1 for another or for a string it cannot read.  WORK is a
# scratch directory.
function(with_input var text)
    file(WRITE ${WORK}/${var}.txt "${text}")
    set(${var} ${WORK}/${var}.txt PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY ${WORK})
with_input(right "tr0ub4dor &3\n")
with_input(right_no_newline "tr0ub4dor &3")
with_input(wrong "tr0ub4dor &4\n")

execute_process(COMMAND ${PASSWD} INPUT_FILE ${right} RESULT_VARIABLE rc OUTPUT_VARIABLE stored
                ERROR_VARIABLE err)
string(STRIP "${stored}" stored)
set(c "[./0-9A-Za-z]")
if(NOT rc EQUAL 0 OR NOT stored MATCHES "^\\$7\\$C6\\.\\.\\.\\./\\.\\.\\.\\.${c}+\\$${c}+$")
    message(FATAL_ERROR "passwd printed '${stored}' (status ${rc}, '${err}'), expected a \"$7$\" "
                        "string with N = 2^14, r = 8, p = 1")
endif()
string(LENGTH "${stored}" length)
if(NOT length EQUAL 101)
    message(FATAL_ERROR "passwd printed ${length} characters, expected 101: ${stored}")
endif()

# expect(status input string [stderr regex])
function(expect want input string)
    execute_process(COMMAND ${PASSWD} ${string} INPUT_FILE ${input} RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL want OR (ARGC GREATER 3 AND NOT err MATCHES "${ARGV3}"))
        message(FATAL_ERROR "passwd '${string}' < ${input}: status ${rc}, stderr '${err}'; "
                            "expected status ${want}")
    endif()
endfunction()
expect(0 ${right} "${stored}")
expect(0 ${right_no_newline} "${stored}")
expect(1 ${wrong} "${stored}")
string(SUBSTRING "${stored}" 0 100 truncated)
expect(1 ${right} "${truncated}" "passwd: .+")
expect(1 ${right} "$7$zzzzzzzzzzzabcd$..........................................." "passwd: .+")
message("passwd: a 101-character \"$7$\" string that verifies with its password only")
