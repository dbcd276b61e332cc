# Helpers for the test scripts run with `cmake -P`.

# run(<output var> COMMAND...): runs the command and fails the test, showing
# everything it printed, unless it succeeds.
function(run var)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        list(JOIN ARGN " " cmd)
        message(FATAL_ERROR "failed (${rc}): ${cmd}\n--- stdout\n${out}\n--- stderr\n${err}")
    endif()
    set(${var} "${out}" PARENT_SCOPE)
endfunction()
