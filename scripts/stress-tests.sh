#!/usr/bin/env bash
# Runs one test tier again and again while other processes keep the processor busy, to
# flush out tests that pass only when the machine is idle.
#
#   scripts/stress-tests.sh TIER [RUNS] [BUSY]
#
# TIER is a CTest label (unit, link, flash, gui), run in the sanitized build
# (KORVANE_BUILD_DIR names another), or "windows": the whole of scripts/wine-test.sh, the
# Windows test programs and programs under Wine, with the Windows build
# (KORVANE_WINDOWS_BUILD_DIR, default build/windows) and the korvane-devsim of a Linux
# build (KORVANE_BUILD_DIR, default build/plain; the target korvane-devsim is enough).
# RUNS defaults to 20; BUSY is the number of busy loops beside the tests (default: one
# per core, less one). Every failing run's output is kept in build/stress/; the script
# ends with one line of counts, "stress TIER: N passed, N failed", and exits 1 when any
# run failed. Build first (scripts/test.sh, or scripts/build.sh build/sanitize
# -DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug; for windows, see README "Windows").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tier=${1:?usage: scripts/stress-tests.sh TIER [RUNS] [BUSY]}
runs=${2:-20}
cores=$(nproc)
busy=${3:-$((cores > 1 ? cores - 1 : 1))}
out="$root/build/stress"
mkdir -p "$out"

if [ "$tier" = windows ]; then
    build="${KORVANE_BUILD_DIR:-$root/build/plain}"
    windows="${KORVANE_WINDOWS_BUILD_DIR:-$root/build/windows}"
    [ -x "$build/devsim/korvane-devsim" ] ||
        { echo "no korvane-devsim in $build: build it first" >&2; exit 2; }
    [ -d "$windows/tests" ] || { echo "no Windows build in $windows: build it first" >&2; exit 2; }
    run_tier() {
        "$root/scripts/wine-test.sh" "$build" "$windows"
    }
else
    build="${KORVANE_BUILD_DIR:-$root/build/sanitize}"
    [ -d "$build" ] || { echo "no build in $build: build it first" >&2; exit 2; }
    export QT_QPA_PLATFORM=offscreen
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_tier() {
        (cd "$build" && ctest -L "^$tier\$" --output-on-failure -j "$cores" --timeout 300)
    }
fi

loads=()
stop_loads() {
    [ ${#loads[@]} -gt 0 ] && kill "${loads[@]}" 2>/dev/null || true
}
trap stop_loads EXIT
for _ in $(seq "$busy"); do
    (while :; do :; done) &
    loads+=($!)
done

passed=0
failed=0
for run in $(seq "$runs"); do
    log="$out/$tier-run$run.log"
    began=$SECONDS
    if run_tier >"$log" 2>&1; then
        passed=$((passed + 1))
        # The run's own counts: CTest's summary, or wine-test.sh's last line.
        counts=$(grep -E '^wine: |tests passed' "$log" | tail -n 1 || true)
        rm -f "$log"
        echo "run $run/$runs: passed in $((SECONDS - began)) s${counts:+ ($counts)}"
    else
        failed=$((failed + 1))
        echo "run $run/$runs: FAILED in $((SECONDS - began)) s (see $log)"
        grep -E "^\s*[0-9]+ - |Failure|Expected|Which is|Value of|actual:|FAILED|^wine" "$log" |
            head -20 | sed 's/^/    /'
    fi
done
echo "stress $tier: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
