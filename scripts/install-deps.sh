#!/bin/sh
# Installs, with apt-get, the Debian 12 packages that scrypt-vornik's parts
# need beyond a C/C++ compiler and CMake.  This list is the only one: the
# README's test command and CI both install through it.
#
#   scripts/install-deps.sh [GROUP...]
#
#   tests    (the default) the whole test suite: GoogleTest and OpenSSL, the
#            peers a host may link beside the library (libsodium,
#            libscrypt-kdf, libxcrypt), the password-string peers (those
#            and passlib), the tools its checks call, the emulators that
#            prove each mixing form on a processor that runs it, and what
#            the Python package (python/) needs to build, install and be
#            tested against its peers (hashlib, PyNaCl, py-scrypt,
#            cryptography, passlib, crypt(3))
#   bench    the benchmark's peers (OpenSSL, libsodium, libscrypt-kdf), the
#            tools its hexlines section compares with, and the Python
#            benchmark's peers (PyNaCl, py-scrypt, cryptography)
#   chart    gnuplot, which draws the benchmark's chart (target bench-chart)
#   ci       what CI checks beyond the test suite: clang with its fuzzer and
#            sanitizer runtimes, clang-format, and debootstrap for the
#            fresh-machine test (valgrind comes with the tests)
#
# Run as root, or as a user with sudo.
#
# The lists are split into package names on purpose:
# shellcheck disable=SC2086
set -eu

packages_tests="build-essential cmake pkg-config libgtest-dev libssl-dev
    libsodium-dev libscrypt-kdf-dev libcrypt-dev python3-passlib
    binutils file dpkg-dev lintian valgrind
    qemu-user qemu-user-static g++-aarch64-linux-gnu
    bochs bochsbios vgabios isolinux syslinux-common genisoimage
    python3-dev python3-venv python3-pytest python3-setuptools python3-wheel
    python3-build python3-mypy python3-nacl python3-scrypt python3-cryptography"
packages_bench="libssl-dev libsodium-dev libscrypt-kdf-dev pkg-config xxd
    python3-dev python3-setuptools python3-nacl python3-scrypt python3-cryptography"
packages_ci="clang libclang-rt-14-dev clang-format debootstrap"
packages_chart="gnuplot-nox"

[ $# -gt 0 ] || set -- tests
packages=""
for group in "$@"; do
    case $group in
        tests) packages="$packages $packages_tests" ;;
        bench) packages="$packages $packages_bench" ;;
        ci) packages="$packages $packages_ci" ;;
        chart) packages="$packages $packages_chart" ;;
        *) echo "$0: unknown group '$group' (tests, bench, ci, chart)" >&2; exit 2 ;;
    esac
done

if ! command -v apt-get >/dev/null 2>&1; then
    echo "$0: apt-get not found; install these (Debian 12 names) by hand:" $packages >&2
    exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "$0: run as root, or install sudo; packages:" $packages >&2
    exit 1
fi

echo "installing:" $packages
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends $packages >/dev/null
