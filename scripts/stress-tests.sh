#!/usr/bin/env bash
# Runs one test tier again and again in the sanitized build while other processes keep
# the processor busy, to flush out tests that pass only when the machine is idle.
#
#   scripts/stress-tests.sh TIER [RUNS] [BUSY]
#
# TIER is a CTest label (unit, link, flash, gui); RUNS defaults to 20; BUSY is the number
# of busy loops beside the tests (default: one per core, less one). Every failing run's
# output is kept in build/stress/; the script ends with one line of counts and exits 1
# when any run failed. Build first (scripts/test.sh, or scripts/build.sh build/sanitize
# -DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tier=${1:?usage: scripts/stress-tests.sh TIER [RUNS] [BUSY]}
runs=${2:-20}
cores=$(nproc)
busy=${3:-$((cores > 1 ? cores - 1 : 1))}
build="${KORVANE_BUILD_DIR:-$root/build/sanitize}"
out="$root/build/stress"
mkdir -p "$out"
[ -d "$build" ] || { echo "no build in $build: build it first" >&2; exit 2; }

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

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
    if (cd "$build" && ctest -L "^$tier\$" --output-on-failure -j "$cores" --timeout 300) >"$log" 2>&1; then
        passed=$((passed + 1))
        rm -f "$log"
        echo "run $run/$runs: passed"
    else
        failed=$((failed + 1))
        echo "run $run/$runs: FAILED (see $log)"
        grep -E "^\s*[0-9]+ - |Failure|Expected|Which is|Value of" "$log" | head -20 | sed 's/^/    /'
    fi
done
echo "stress $tier: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
