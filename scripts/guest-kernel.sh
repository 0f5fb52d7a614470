#!/usr/bin/env bash
# Fetches Debian's own kernel for the drivers tier's guest into a cache folder, once:
#
#   scripts/guest-kernel.sh DIR      e.g. scripts/guest-kernel.sh build/plain/guest
#
# The package that linux-image-amd64 points at is fetched with apt-get download, checked
# against the checksum of the archive's signed index, unpacked with dpkg-deb -x, given its
# module index, and its compressed kernel unpacked into an ELF image, which QEMU starts
# directly (PVH), skipping the firmware and the decompression under emulation. Prints the
# kernel folder (holding vmlinux and lib/modules/VERSION) on its last line.
set -euo pipefail
dir=$(mkdir -p "$1" && cd "$1" && pwd)

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
package=$(kernel_package)
# A machine that has never read the archive's index (a fresh CI image) reads it first.
if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq >&2
    package=$(kernel_package)
fi
if [ -z "$package" ]; then
    echo "guest-kernel: the package index names no kernel for linux-image-amd64;" \
        "run apt-get update" >&2
    exit 1
fi
version=$(apt-cache show --no-all-versions "$package" | awk '/^Version:/ { print $2; exit }')
sha256=$(apt-cache show --no-all-versions "$package" | awk '/^SHA256:/ { print $2; exit }')
deb="$dir/${package}_${version//:/%3a}_amd64.deb"
kernel="$dir/$package-$version"

if [ ! -f "$kernel/vmlinux" ]; then
    if [ ! -f "$deb" ] || ! echo "$sha256  $deb" | sha256sum --check --status; then
        echo "  fetching $package $version" >&2
        rm -f "$dir"/*.deb
        (cd "$dir" && apt-get download -q -o APT::Sandbox::User=root "$package=$version" >&2)
    fi
    # A package that does not match the signed index is not unpacked, let alone booted.
    if ! echo "$sha256  $deb" | sha256sum --check --status; then
        echo "guest-kernel: $deb does not match the archive's checksum $sha256" >&2
        rm -f "$deb"
        exit 1
    fi
    rm -rf "$kernel" "$kernel.part"
    mkdir "$kernel.part"
    dpkg-deb -x "$deb" "$kernel.part"
    release=$(ls "$kernel.part/lib/modules")
    depmod -b "$kernel.part" "$release"
    # The compressed kernel holds an XZ stream after its set-up code; what follows the
    # stream is padding, which xz refuses only after it has written the whole image.
    image=$(ls "$kernel.part"/boot/vmlinuz-*)
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | head -n 1 | cut -d: -f1)
    tail -c +$((offset + 1)) "$image" | xz -dc >"$kernel.part/vmlinux" 2>/dev/null || true
    if ! head -c 4 "$kernel.part/vmlinux" | grep -q ELF; then
        echo "guest-kernel: no kernel image could be unpacked from $image" >&2
        exit 1
    fi
    mv "$kernel.part" "$kernel"
fi
echo "$kernel"
