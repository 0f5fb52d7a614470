#!/usr/bin/env bash
# Builds the Debian package of the three programs: scripts/package.sh
#
# It comes out as build/korvane_<version>_amd64.deb, from the programs of the plain build
# (build/plain) and their manual pages; install it as root with
#   apt-get install ./build/korvane_<version>_amd64.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/plain"
"$root/scripts/bootstrap.sh" programs package
"$root/scripts/build.sh" "$dir" -DKORVANE_MAN_PAGES=ON --target programs --target man_pages --target desktop_icons

rm -rf "$dir/cpack"
cpack --config "$dir/CPackConfig.cmake" -B "$dir/cpack" >"$dir/cpack.log" 2>&1 ||
    { cat "$dir/cpack.log"; exit 1; }
deb=$(find "$dir/cpack" -maxdepth 1 -name '*.deb')
mv "$deb" "$root/build/"
echo "build/$(basename "$deb")"
