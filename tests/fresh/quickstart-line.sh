#!/bin/sh
# quickstart-line.sh N [README]: prints the Nth command line of the README's
# Quick start (its first ```sh block).  CI and the fresh-machine test run
# these lines as the README writes them, so the two cannot drift apart.
set -eu
n=$1
readme=${2:-$(dirname "$0")/../../README.md}
line=$(awk -v n="$n" '
    /^## / { in_quick = ($0 == "## Quick start") }
    in_quick && /^```sh$/ && !done { in_block = 1; next }
    in_block && /^```$/ { in_block = 0; done = 1 }
    in_block && ++count == n { print }
' "$readme")
if [ -z "$line" ]; then
    echo "$0: the Quick start of $readme has no command line $n" >&2
    exit 1
fi
printf '%s\n' "$line"
