#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in a plain build and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for variant in plain sanitize; do
    dir="$root/build/$variant"
    opts=()
    [ "$variant" = sanitize ] && opts+=(-DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    echo "== build ($variant)"
    "$root/scripts/build.sh" "$dir" "${opts[@]}"
    echo "== tests ($variant)"
    (cd "$dir" && ctest --output-on-failure -j "$(nproc)" --timeout 300)
done

# The Qt-free part cross-built for Windows, its tests run under Wine against the
# simulator from the plain build.
echo "== build (windows)"
"$root/scripts/build.sh" "$root/build/windows" -DKORVANE_WITH_QT=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
echo "== tests (windows, under wine)"
"$root/scripts/wine-test.sh" "$root/build/plain" "$root/build/windows"
"$root/scripts/fuzz.sh"
