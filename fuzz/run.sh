#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# starting from the seed corpus in fuzz/corpus/<target>/.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60, or $FUZZ_SECONDS); TARGETs default to all
# four.  The build goes to $FUZZ_BUILD_DIR (default build-fuzz); inputs that
# libFuzzer finds interesting are kept in $FUZZ_BUILD_DIR/corpus/<target>/,
# crashes and mismatches in $FUZZ_BUILD_DIR/artifacts/<target>/.  The seed
# corpus in the repository is only read.  Exit status 1 if any target found
# something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(derive_fuzz hash_fuzz chunkmix_fuzz lanes_fuzz passwd_fuzz)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]}"

failed=0
found=0
summary=()
for t in "${targets[@]}"; do
    corpus=$build/corpus/$t
    artifacts=$build/artifacts/$t
    log=$build/$t.log
    mkdir -p "$corpus" "$artifacts"
    echo "== $t: ${seconds} s"
    status=0
    # The password strings' target runs under its own limit of 256 KiB: no
    # single allocation may come near 16 MiB.
    limits=(-rss_limit_mb=2048)
    [ "$t" != passwd_fuzz ] || limits+=(-malloc_limit_mb=16)
    "$build/$t" -max_total_time="$seconds" -timeout=10 "${limits[@]}" -max_len=1024 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$( (grep -oE 'cov: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
    if [ "$status" -ne 0 ]; then
        failed=1
        found=$((found + 1))
        echo "!! $t stopped with status $status; its report:"
        if grep -qE 'MISMATCH|FAILED|ERROR: |runtime error|deadly signal' "$log"; then
            grep -E -A40 'MISMATCH|FAILED|ERROR: |runtime error|deadly signal' "$log" | head -80 || true
        else
            tail -40 "$log"
        fi
        ls -l "$artifacts"
        summary+=("$t: FINDING after ${execs:-?} executions (status $status), see $artifacts")
    else
        summary+=("$t: ${execs:-?} executions (${rate:-?}/s), ${cov:-?} coverage edges, no findings")
    fi
done
echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
echo "fuzz: $((${#targets[@]} - found)) passed, $found failed"
exit $failed
