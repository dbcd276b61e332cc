#!/usr/bin/env bash
# The README's Quick start on a fresh machine: builds a minimal Debian 12
# (bookworm) root with debootstrap, installs only build-essential, cmake and
# git into it, copies in the committed tree (git archive HEAD), and runs
#   line 1 as an ordinary user: it must print RFC 7914 vector 2's key;
#   line 2 as root (no sudo there): it must install what it needs and pass
#     the whole suite, every test passed or skipped.
# Both lines are read from the README and run as written.
#
#   tests/fresh/run.sh            (as root; takes some minutes)
#
# The Debian mirror is the one this machine's apt sources name for bookworm.
# The root goes to a new directory under $FRESH_DIR (default /tmp) and is
# removed at the end, with every mount made here, also on failure; with
# FRESH_KEEP=1 the root is kept (mounts are always undone).
# Without root or debootstrap the test is skipped with the reason, except
# under CI (CI=true), where that is a failure.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
here=$src/tests/fresh
vector2=fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b3731622eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640

skip() {
    if [ "${CI:-}" = true ]; then
        echo "fresh: FAILED: cannot run under CI: $*" >&2
        exit 1
    fi
    echo "fresh: SKIPPED: $*"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot and mounts)"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (apt-get install debootstrap)"

# The first URI that this machine's apt sources give for the suite bookworm,
# in one-line (.list) or deb822 (.sources) form.
mirror_from_sources() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" && $3 == "bookworm" { print $2 }'
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             { types = uris = suites = ""
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^Types:/) types = $i
                   if ($i ~ /^URIs:/) uris = $i
                   if ($i ~ /^Suites:/) suites = $i
               }
               if (types ~ /[: ]deb( |$)/ && (suites " ") ~ /[: ]bookworm /) {
                   split(uris, u, " "); print u[2]; exit
               } }' "$f"
    done
}
mirror=$(mirror_from_sources | head -n 1)
[ -n "$mirror" ] || skip "no apt source of this machine names the suite bookworm"

start=$SECONDS
phase_start=$SECONDS
phase() {
    echo "fresh: $1 ($((SECONDS - phase_start)) s)"
    phase_start=$SECONDS
}

work=$(mktemp -d "${FRESH_DIR:-/tmp}/fresh.XXXXXX")
root=$work/root

# Mount points below the root, deepest first: those made here, and any that
# an interrupted debootstrap left.
mounts_below_root() {
    awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# Undoes every mount below the root; removes the root only once nothing is
# mounted there any more, and never crosses into another file system.
cleanup() {
    local status=$? m
    for m in $(mounts_below_root); do
        umount "$m" || umount -l "$m" || echo "fresh: could not unmount $m" >&2
    done
    if [ -n "$(mounts_below_root)" ]; then
        echo "fresh: something is still mounted below $root; left in place" >&2
        status=1
    elif [ "${FRESH_KEEP:-0}" = 1 ]; then
        echo "fresh: root kept in $root"
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in() { # mount_in TARGET MOUNT-ARGS...
    local target=$root$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
}

# Runs a command inside the root with a clean environment.
in_root() { # in_root USER DIR COMMAND
    local user=$1 dir=$2 home=/root
    [ "$user" = root ] || home=/home/$user
    chroot --userspec="$user:$user" "$root" /usr/bin/env -i \
        HOME="$home" USER="$user" LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd '$dir' && $3"
}

echo "fresh: Debian 12 from $mirror into $root"
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 40 "$work/debootstrap.log" >&2
    exit 1
fi
phase "debootstrap"

mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
cp /etc/resolv.conf "$root/etc/resolv.conf"

# What the README asks for, and nothing more.
in_root root / "export DEBIAN_FRONTEND=noninteractive && apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends build-essential cmake git >/dev/null"
chroot "$root" useradd --create-home --shell /bin/bash newcomer
mkdir "$root/home/newcomer/scrypt-vornik"
git -C "$src" archive HEAD | tar -x -C "$root/home/newcomer/scrypt-vornik"
chroot "$root" chown -R newcomer:newcomer /home/newcomer/scrypt-vornik
phase "build-essential, cmake and git installed; the committed tree copied in"

line1=$("$here/quickstart-line.sh" 1 "$src/README.md")
line2=$("$here/quickstart-line.sh" 2 "$src/README.md")

echo "fresh: line 1, as user newcomer: $line1"
in_root newcomer /home/newcomer/scrypt-vornik "$line1" 2>&1 | tee "$work/line1.log"
grep -q "^-- scrypt-vornik: not found, so left out: the test suite" "$work/line1.log" || {
    echo "fresh: FAILED: line 1's configuration did not say that the test suite was left out" >&2
    exit 1
}
grep -q "^key: $vector2\$" "$work/line1.log" || {
    echo "fresh: FAILED: line 1 did not print RFC 7914 vector 2's key" >&2
    exit 1
}
phase "line 1 printed RFC 7914 vector 2's key"

echo "fresh: line 2, as root: $line2"
in_root root /home/newcomer/scrypt-vornik "$line2" 2>&1 | tee "$work/line2.log"
grep -Eq "^100% tests passed, 0 tests failed out of [1-9][0-9]*\$" "$work/line2.log" || {
    echo "fresh: FAILED: line 2 did not pass the whole suite" >&2
    exit 1
}
phase "line 2 passed the whole suite"
echo "fresh: passed in $((SECONDS - start)) s"
