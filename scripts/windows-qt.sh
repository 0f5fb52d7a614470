#!/usr/bin/env bash
# Finds the static Qt for the Windows build and unpacks it:
#
#   scripts/windows-qt.sh            prints the unpacked Qt folder on its last line
#   scripts/windows-qt.sh --build    the same, building the archive first when there is none
#
# The archive (qt6-base-6.4.2-mingw-w64-x86_64-static.tar.xz, with a SHA256SUMS line
# naming it) is taken from, in this order: the folder in KORVANE_WINDOWS_QT_DIR; the
# folder windows-qt/ in shared/ beside the repository (../shared/windows-qt); the cache
# folder (KORVANE_CACHE_DIR, default ~/.cache/korvane), where --build leaves the one it
# makes with scripts/windows-qt-build.sh (about 40 minutes on two cores). Its SHA-256 is
# checked, and it is unpacked into build/windows-qt/ once per archive. Without an archive
# the script says so on standard error and exits 3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
archive_name=qt6-base-6.4.2-mingw-w64-x86_64-static.tar.xz
cache=${KORVANE_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
target=$root/build/windows-qt

folders=()
[ -n "${KORVANE_WINDOWS_QT_DIR:-}" ] && folders+=("$KORVANE_WINDOWS_QT_DIR")
folders+=("$root/../shared/windows-qt" "$cache")

find_archive() {
    local folder
    for folder in "${folders[@]}"; do
        if [ -f "$folder/$archive_name" ] && [ -f "$folder/SHA256SUMS" ]; then
            echo "$folder"
            return 0
        fi
    done
    return 1
}

if ! folder=$(find_archive); then
    if [ "${1:-}" != --build ]; then
        echo "windows-qt: no $archive_name in ${folders[*]}" >&2
        echo "windows-qt: scripts/windows-qt.sh --build makes one into $cache (about 40 minutes)" >&2
        exit 3
    fi
    mkdir -p "$cache"
    "$root/scripts/windows-qt-build.sh" "$cache/qt6-mingw" "$cache/$archive_name" >&2
    rm -rf "$cache/qt6-mingw"
    (cd "$cache" && sha256sum "$archive_name" >SHA256SUMS)
    folder=$cache
fi

sum=$(grep -F "  $archive_name" "$folder/SHA256SUMS" | cut -d' ' -f1)
if [ -f "$target/unpacked" ] && [ "$(cat "$target/unpacked")" = "$sum" ] && [ -d "$target/qt6-mingw" ]; then
    echo "$target/qt6-mingw"
    exit 0
fi
if ! (cd "$folder" && grep -F "  $archive_name" SHA256SUMS | sha256sum -c --quiet --status); then
    echo "windows-qt: $folder/$archive_name does not match its SHA-256 in SHA256SUMS" >&2
    exit 1
fi
echo "  unpacking $folder/$archive_name into $target" >&2
rm -rf "$target/qt6-mingw" "$target/unpacked"
mkdir -p "$target"
tar xJf "$folder/$archive_name" -C "$target"
echo "$sum" >"$target/unpacked"
echo "$target/qt6-mingw"
