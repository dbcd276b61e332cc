# derive_key_check.cmake: runs the new-API example (DERIVE_KEY) and compares
# the key it prints, and so the constant it checks against, with OpenSSL's
# (ORACLE, with N, r and p as numbers).
include(${ROOT}/tests/support/run.cmake)

run(want ${ORACLE} -n "correct horse battery staple" "per-user salt" 16384 10 3 32)
string(STRIP "${want}" want)
run(out ${DERIVE_KEY})
set(expected "N=16384 r=10 p=3
key: ${want}
check: the key equals the recorded one
p=0: status -1, invalid parameters (N, r, p or the output length)
")
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "derive_key printed\n${out}\nexpected\n${expected}")
endif()
message("derive_key: OpenSSL's key, reported as equal to the recorded one; p = 0 refused")
