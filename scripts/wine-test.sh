#!/usr/bin/env bash
# Runs the Windows test programs under Wine: scripts/wine-test.sh NATIVE_BUILD WINDOWS_BUILD
#
# The unit tests run on their own. The link and flash tests talk through Wine's COM1 to a
# korvane-devsim from the native build, running on a pseudo-terminal with its state folder
# shared with the tests (see tests/support/test_device.h). Each program runs first against
# a simulator without faults; tests that need faults skip and name the simulator options
# they need, and the program then runs once more against a simulator started with each
# such set. Everything happens in a fresh Wine prefix that is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "${1:-$root/build/plain}" && pwd)
windows=$(cd "${2:-$root/build/windows}" && pwd)
devsim="$native/devsim/korvane-devsim"
needs_text="needs the simulator started with:"

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim_pid=

stop_simulator() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
cleanup() {
    stop_simulator
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# start_simulator [FAULT...]: a fresh simulator behind $work/com1.
start_simulator() {
    stop_simulator
    rm -rf "$work/state" "$work/com1"
    mkdir "$work/state"
    local options=() fault
    for fault in "$@"; do options+=(--fault "$fault"); done
    "$devsim" --link "$work/com1" --state-dir "$work/state" "${options[@]}" \
        </dev/null >"$work/devsim.out" &
    sim_pid=$!
    for _ in $(seq 100); do [ -L "$work/com1" ] && [ -s "$work/devsim.out" ] && return 0; sleep 0.05; done
    echo "korvane-devsim did not start" >&2
    return 1
}

echo "== preparing a Wine prefix"
wineboot -i >/dev/null 2>&1
# Wine lays out dosdevices/comN anew whenever its server starts, from the serial devices it
# finds unless its registry names one; so COM1 is named there too, as a link of our own
# that follows each simulator's terminal.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$work/com1" /f >/dev/null 2>&1
wineserver -k || true
ln -sfn "$work/com1" "$WINEPREFIX/dosdevices/com1"
# One server for the whole run: quicker starts, and the COM1 mapping stays put. The server
# and the services that the first program starts live on, so neither may hold on to an
# output that someone reads to its end.
wineserver -p >/dev/null 2>&1
wine reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1

passed=0
failed=0
status=0
windows_dir="Z:${work//\//\\}"

# run_program EXE [FAULT...]: one run; the output goes to $work/run.log.
run_program() {
    local exe=$1
    shift
    local code=0
    KORVANE_TEST_PORT=COM1 KORVANE_TEST_FAULTS="$*" KORVANE_TEST_DUMP_DIR="$windows_dir\\state" \
        timeout 900 wine "$exe" </dev/null >"$work/run.raw" 2>&1 || code=$?
    tr -d '\r' <"$work/run.raw" >"$work/run.log"
    local ok bad
    ok=$(grep -c '^\[       OK \]' "$work/run.log" || true)
    bad=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$work/run.log" || true)
    passed=$((passed + ok))
    failed=$((failed + bad))
    printf '  %-16s %-58s %3d passed, %d failed\n' "$(basename "$exe")" "${*:-(no faults)}" "$ok" "$bad"
    if [ "$code" -ne 0 ] || [ "$bad" -ne 0 ]; then
        grep -v '^\[       OK \]' "$work/run.log" | sed 's/^/    /'
        status=1
    fi
}

# The fault sets that the tests skipped in the last run asked for, one per line, as
# blank-separated fault names.
fault_sets() {
    sed -n "s/^$needs_text --fault //p" "$work/run.log" | sed 's/ --fault / /g' | sort -u
}

echo "== unit tests"
run_program "$windows/tests/tests_unit.exe"

for tier in link flash; do
    exe="$windows/tests/tests_$tier.exe"
    echo "== $tier tests against korvane-devsim on COM1"
    start_simulator
    run_program "$exe"
    fault_sets >"$work/sets"
    while read -r -a faults; do
        start_simulator "${faults[@]}"
        run_program "$exe" "${faults[@]}"
        # A test that skips against the very faults it asked for would never run.
        if fault_sets | grep -qxF "${faults[*]}"; then
            echo "    a test did not accept the faults it asked for: ${faults[*]}"
            status=1
        fi
    done <"$work/sets"
    stop_simulator
done

echo "wine: $passed passed, $failed failed"
exit "$status"
