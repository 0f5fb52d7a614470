#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test tier: the plain build, its
# programs on Linux's real serial drivers in a QEMU guest, the build with AddressSanitizer
# and UndefinedBehaviorSanitizer, the Windows build under Wine, and the Debian package. Ends with how long each tier took and, on the last line, the counts
# over all of them: "N passed, N failed".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" all

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

summary=()
total_passed=0
total_failed=0

# tier NAME COMMAND...: runs one tier and keeps its counts, from the last line of its
# output that gives them: CTest's "... N tests failed out of N", or "NAME: N passed,
# N failed" as the project's own tier scripts end. A tier that fails without such a line
# (its build broke, it crashed) counts as one failure; the other tiers still run.
tier() {
    local name=$1
    shift
    local log="$root/build/tier-$name.log" start=$SECONDS status=0 passed=0 failed=0 line
    mkdir -p "$root/build"
    echo "== $name"
    "$@" 2>&1 | tee "$log" || status=$?
    line=$(grep -E 'tests failed out of [0-9]+$|: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1 || true)
    if [[ "$line" =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+)$ ]]; then
        failed=${BASH_REMATCH[1]}
        passed=$((BASH_REMATCH[2] - failed))
    elif [[ "$line" =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=${BASH_REMATCH[1]}
        failed=${BASH_REMATCH[2]}
    fi
    if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
        failed=1
        echo "== $name failed (exit status $status) without a failed test to show for it"
    fi
    local took=$((SECONDS - start))
    summary+=("$(printf '  %-10s %3dm%02ds  %d passed, %d failed' "$name" $((took / 60)) $((took % 60)) "$passed" "$failed")")
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
}

# The tiers' steps are chained with && because a tier runs where a failing command does
# not end the script.

# build_and_test DIR [CMAKE OPTION...]: one Linux build and its CTest tiers. A build
# without tests fails here rather than passing with nothing run.
build_and_test() {
    local dir=$1
    shift
    "$root/scripts/build.sh" "$dir" "$@" &&
        (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$(nproc)" --timeout 300)
}

# The Windows build with the window, against the static Windows Qt (scripts/windows-qt.sh),
# its tests, korvane-flash.exe and a whole run of korvane.exe under Wine against the
# simulator from the plain build. Without that Qt, the Qt-free part alone, saying so.
windows_build_and_test() {
    local qt options=()
    if qt=$("$root/scripts/windows-qt.sh"); then
        options=(-DKORVANE_WITH_QT=ON -DKORVANE_WINDOWS_QT="$qt")
    else
        echo "== no Windows Qt: korvane.exe, korvane-flash.exe and the gui tests under Wine are skipped;"
        echo "   the Qt-free part alone is built and tested"
        options=(-DKORVANE_WITH_QT=OFF -DKORVANE_WINDOWS_QT=)
    fi
    "$root/scripts/build.sh" "$root/build/windows" "${options[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" &&
        "$root/scripts/wine-test.sh" "$root/build/plain" "$root/build/windows"
}

# The Debian package built from the plain build, unpacked and tried, checked by lintian,
# and installed into a fresh Debian 12 root to flash the simulator there.
package_and_check() {
    local out status=0
    out=$("$root/scripts/package.sh") || status=$?
    printf '%s\n' "$out"
    [ "$status" -eq 0 ] && "$root/tests/package/check_deb.sh" "$root/${out##*$'\n'}"
}

tier plain build_and_test "$root/build/plain"
tier drivers "$root/scripts/drivers-test.sh" "$root/build/plain"
tier sanitized build_and_test "$root/build/sanitize" -DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
tier windows windows_build_and_test
tier package package_and_check
tier fuzz "$root/scripts/fuzz.sh"

echo "== time and counts per tier"
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
