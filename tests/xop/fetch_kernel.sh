#!/bin/sh
# fetch_kernel.sh DIR: puts the vmlinuz of Debian's cloud kernel into DIR.
#
# The cloud kernel boots in seconds under emulation (LZ4-compressed, few
# drivers); the generic one takes close to a minute.  Only the kernel image is
# kept: the test machine runs from an initramfs and loads no modules.
set -eu
dir=$1
mkdir -p "$dir"
exec 9>"$dir/.fetch.lock"
flock 9
[ -s "$dir/vmlinuz" ] && exit 0

for tool in apt-cache apt-get dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 1; }
done
pkg=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null |
      awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
[ -n "$pkg" ] || { echo "apt-cache does not know linux-image-cloud-amd64" >&2; exit 1; }

tmp=$(mktemp -d "$dir/fetch.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get download -q "$pkg" 2>&1) || { echo "apt-get download $pkg failed" >&2; exit 1; }
dpkg-deb -x "$tmp"/*.deb "$tmp/root"
for k in "$tmp"/root/boot/vmlinuz-*; do
    cp "$k" "$dir/vmlinuz.part"
    mv "$dir/vmlinuz.part" "$dir/vmlinuz"
    echo "kernel: $pkg"
    exit 0
done
echo "$pkg holds no /boot/vmlinuz-*" >&2
exit 1
