#!/usr/bin/env bash
# Runs the Windows test programs under Wine: scripts/wine-test.sh NATIVE_BUILD WINDOWS_BUILD
#
# The unit tests run on their own. The link, flash and gui tests talk through Wine's COM1
# to a korvane-devsim from the native build, running on a pseudo-terminal with its state
# folder shared with the tests (see tests/support/test_device.h). Each program runs first
# against a simulator without faults; tests that need faults or a paced line skip and name
# the simulator options they need, and those tests then run once more against a simulator
# started with each such set. A build with the window adds korvane-flash.exe run as an
# operator runs it, and one whole run of korvane.exe on the Windows platform: Update
# clicked through the X server, the package into the simulator, the next sequence number
# into the registry. Everything happens in a fresh Wine prefix on a virtual X display of
# its own, both removed at the end. KORVANE_WINE_TIERS="gui" (say) runs only those of the
# link, flash and gui programs, for a developer chasing one of them.
set -Eeuo pipefail
# Whatever ends the script early names itself (in the script's own shell: a command
# substitution's failures are its caller's to judge).
trap 'err_status=$?; [ "$BASHPID" != "$$" ] ||
    echo "wine-test.sh: line $LINENO: \"$BASH_COMMAND\" failed (exit status $err_status)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "${1:-$root/build/plain}" && pwd)
windows=$(cd "${2:-$root/build/windows}" && pwd)
devsim="$native/devsim/korvane-devsim"
needs_text="needs the simulator started with:"
# shellcheck source=wine-prefix.sh
source "$root/scripts/wine-prefix.sh"
# shellcheck source=sample_package.sh
source "$root/scripts/sample_package.sh"

work=$(mktemp -d)
sim_pids=()

# stop_simulator: every simulator started.
stop_simulator() {
    local pid
    for pid in "${sim_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    sim_pids=()
}
postgres=
cleanup() {
    stop_simulator
    if [ -n "$postgres" ]; then
        "$root/scripts/postgres-server.sh" stop "$postgres" || true
        rm -rf "$postgres"
    fi
    wine_prefix_end
    wine_display_end
    rm -rf "$work"
}
trap cleanup EXIT

# add_simulator LINK STATE [OPTION...]: one more simulator behind $work/LINK (com1 is
# COM1, com2 COM2), its state folder $work/STATE, with these options (--fault NAME,
# --baud N).
add_simulator() {
    local link=$work/$1 state=$work/$2
    shift 2
    rm -rf "$state" "$link"
    mkdir "$state"
    "$devsim" --link "$link" --state-dir "$state" "$@" </dev/null >"$state.out" &
    sim_pids+=($!)
    for _ in $(seq 100); do [ -L "$link" ] && [ -s "$state.out" ] && return 0; sleep 0.05; done
    echo "korvane-devsim did not start" >&2
    return 1
}

# start_simulator [OPTION...]: a fresh simulator behind COM1 alone, with these options.
start_simulator() {
    stop_simulator
    add_simulator com1 state "$@"
}

# ask_simulator ACTION [STATE]: has the simulator do ACTION ("dump": write its files) and
# waits until it has, as the tests' own requests do. STATE names its folder (state, COM1's).
ask_simulator() {
    local state=$work/${2:-state}
    echo "$1" >"$state/request.part"
    mv "$state/request.part" "$state/request"
    for _ in $(seq 300); do [ -e "$state/request" ] || return 0; sleep 0.05; done
    return 1
}

echo "== preparing a Wine prefix"
wine_display "$work"
wine_prefix "$work"

passed=0
failed=0
status=0
windows_dir="Z:${work//\//\\}"

# run_program EXE [OPTION...]: one run against a simulator started with these options, of
# the tests named in $tests (a GoogleTest filter; all when empty); the output goes to
# $work/run.log.
tests=
run_program() {
    local exe=$1
    shift
    local options=("$@") faults=() baud= code=0 i attempt
    for ((i = 0; i < ${#options[@]}; i += 2)); do
        case "${options[i]}" in
        --fault) faults+=("${options[i + 1]}") ;;
        --baud) baud=${options[i + 1]} ;;
        esac
    done
    # A program that said nothing at all never started (Wine, not the tests): once more.
    for attempt in 1 2; do
        code=0
        KORVANE_TEST_PORT=COM1 KORVANE_TEST_FAULTS="${faults[*]}" KORVANE_TEST_BAUD="$baud" \
            KORVANE_TEST_DUMP_DIR="$windows_dir\\state" KORVANE_TESTS_MAY_REPLACE_SETTINGS=1 \
            timeout 900 wine "$exe" ${tests:+"--gtest_filter=$tests"} </dev/null \
            >"$work/run.raw" 2>&1 || code=$?
        tr -d '\r' <"$work/run.raw" >"$work/run.log"
        [ "$code" -ne 0 ] && [ ! -s "$work/run.log" ] && [ "$attempt" -eq 1 ] || break
        echo "    $(basename "$exe") ended at once with exit status $code and no output: once more"
    done
    local ok bad
    ok=$(grep -c '^\[       OK \]' "$work/run.log" || true)
    bad=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$work/run.log" || true)
    passed=$((passed + ok))
    failed=$((failed + bad))
    tier_passed=$((tier_passed + ok))
    tier_failed=$((tier_failed + bad))
    printf '  %-16s %-58s %3d passed, %d failed\n' "$(basename "$exe")" "${*:-(no faults)}" "$ok" "$bad"
    if [ "$code" -ne 0 ] || [ "$bad" -ne 0 ]; then
        grep -v '^\[       OK \]' "$work/run.log" | sed 's/^/    /' || true
        [ -s "$work/run.log" ] || echo "    no output at all; exit status $code"
        status=1
    fi
}

# The tests that skipped in the last run for the simulator options they need: the options
# and the test's name, tab-separated, one line per test.
skipped_tests() {
    awk -v needs="$needs_text " '
        index($0, needs) == 1 { options = substr($0, length(needs) + 1) }
        /^\[  SKIPPED \] / && options != "" { print options "\t" $4; options = "" }' "$work/run.log"
}

# check WHAT COMMAND...: one check of a Windows program run as an operator runs it.
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        printf '  ok      %s\n' "$what"
    else
        failed=$((failed + 1))
        status=1
        printf '  FAILED  %s\n' "$what"
    fi
}

echo "== unit tests"
tier_passed=0 tier_failed=0
run_program "$windows/tests/tests_unit.exe"

for tier in ${KORVANE_WINE_TIERS:-link flash gui}; do
    exe="$windows/tests/tests_$tier.exe"
    [ -f "$exe" ] || continue
    echo "== $tier tests against korvane-devsim on COM1"
    tier_passed=0 tier_failed=0
    start_simulator
    tests=
    run_program "$exe"
    skipped_tests >"$work/skipped"
    while read -r -a options; do
        tests=$(awk -F'\t' -v set="${options[*]}" '$1 == set { printf "%s%s", sep, $2; sep = ":" }' \
            "$work/skipped")
        start_simulator "${options[@]}"
        run_program "$exe" "${options[@]}"
        # A test that skips against the very options it asked for would never run.
        if [ -n "$(skipped_tests)" ]; then
            echo "    a test did not accept the simulator options it asked for: ${options[*]}"
            status=1
        fi
    done < <(cut -f1 "$work/skipped" | sort -u)
    tests=
    stop_simulator
    echo "  $tier under Wine: $tier_passed passed, $tier_failed failed"
done

flash_exe="$windows/cli/korvane-flash.exe"
window_exe="$windows/app/korvane.exe"
if [ ! -f "$flash_exe" ] || [ ! -f "$window_exe" ]; then
    echo "== no korvane.exe and korvane-flash.exe in $windows (a build without Qt): not run"
    echo "wine: $passed passed, $failed failed"
    exit "$status"
fi

key='HKCU\Software\STM32F10X Korvane\korvane\Setting'
# stored_sn: SN as the registry holds it, in decimal ("" when there is none).
stored_sn() {
    local value
    value=$(wine reg query "$key" /v SN 2>/dev/null | tr -d '\r' | awk '$1 == "SN" { print $3 }')
    case "$value" in 0x*) echo $((value)) ;; *) echo "$value" ;; esac
}
# store NAME VALUE: sets a value of the registry's Setting key, a whole number as a number
# (as the programs write them), anything else as text.
store() {
    local type=REG_SZ
    [[ "$2" =~ ^[0-9]+$ ]] && type=REG_DWORD
    wine reg add "$key" /v "$1" /t "$type" /d "$2" /f >/dev/null 2>&1
}
# device_record [STATE]: the serial number the simulated device holds, as text.
device_record() {
    ask_simulator dump "${1:-state}" &&
        sed -n 's/.*"text": "\([^"]*\)".*/\1/p' "$work/${1:-state}/report.json"
}
# the_tool ARG...: korvane-flash.exe's output and exit status, in $work/tool.out and $tool_status.
the_tool() {
    tool_status=0
    timeout 300 wine "$flash_exe" "$@" </dev/null >"$work/tool.raw" 2>&1 || tool_status=$?
    tr -d '\r' <"$work/tool.raw" >"$work/tool.out"
}

echo "== korvane.exe: a whole run on the Windows platform, against korvane-devsim on COM1"
wine_package() {
    local image name size entries=()
    for image in "${images[@]}"; do
        read -r name _ size <<<"$image"
        head -c "$size" /dev/urandom >"$work/$name"
        entries+=("$name=$windows_dir\\$name")
    done
    the_tool pack "$windows_dir\\sample.bin" "${entries[@]}"
}
wine_package
check "korvane-flash.exe packs the sample package" [ "$tool_status" -eq 0 -a -s "$work/sample.bin" ]
start_simulator
store File "$windows_dir\\sample.bin"
store Port 0
store SN 41
echo "  SN in the registry before: $(stored_sn)"
wine "$window_exe" </dev/null >"$work/window.out" 2>&1 &
window_pid=$!
window=$(timeout 60 xdotool search --sync --name '^Korvane-V5\.0$' 2>/dev/null | head -n 1 || true)
check "the window opens" [ -n "$window" ]
if [ -n "$window" ]; then
    # The X window is the dialog's client area, 322 x 149 dialog units; Update's centre is
    # at (194, 129), Cancel's at (277, 129).
    read -r width height < <(xdotool getwindowgeometry "$window" |
        sed -n 's/.*Geometry: \([0-9]*\)x\([0-9]*\).*/\1 \2/p') || true
    xdotool mousemove --window "$window" $((width * 194 / 322)) $((height * 129 / 149)) click 1 ||
        true
    # The number is spent as the record goes out; the run ends with the closing request.
    for _ in $(seq 600); do
        ask_simulator dump && grep -q '"closingRequests": 1' "$work/state/report.json" && break
        sleep 0.1
    done
    echo "  SN in the registry after the run: $(stored_sn)"
    check "the registry holds the next SN, 42" [ "$(stored_sn)" = 42 ]
    record=$(device_record || true)
    check "the device holds serial number $record, numbered 00041" [ "${record:8}" = 00041 ]
    check "the device holds the firmware image" \
        cmp -s "$work/MCU.BIN" <(head -c "$(stat -c %s "$work/MCU.BIN")" "$work/state/firmware.bin")
    # Cancel is ignored until the window has taken the run's end in: pressed until it ends.
    for _ in $(seq 30); do
        xdotool mousemove --window "$window" $((width * 277 / 322)) $((height * 129 / 149)) \
            click 1 2>/dev/null || true
        for _ in $(seq 10); do kill -0 "$window_pid" 2>/dev/null || break 2; sleep 0.1; done
    done
fi
window_status=0
kill "$window_pid" 2>/dev/null && window_status=1
wait "$window_pid" 2>/dev/null || window_status=1
check "Cancel ends the program" [ "$window_status" -eq 0 ]
stop_simulator

echo "== korvane-flash.exe against korvane-devsim on COM1, with the registry's SN"
the_tool --version
check "--version names the version" grep -qx "korvane-flash [0-9.]*" "$work/tool.out"
the_tool --list "$windows_dir\\sample.bin"
check "--list shows the package's 7 entries" [ "$(grep -c '\.BIN' "$work/tool.out")" -eq 7 ]
start_simulator
the_tool --port COM1 "$windows_dir\\sample.bin"
check "a flash through COM1 succeeds" [ "$tool_status" -eq 0 ]
record=$(device_record || true)
check "it numbers the device 00042, from the registry" [ "${record:8}" = 00042 ]
check "and leaves SN 43 in the registry" [ "$(stored_sn)" = 43 ]
store SN 12a
the_tool --port COM1 "$windows_dir\\sample.bin"
check "a damaged SN in the registry stops the run, named" \
    [ "$tool_status" -eq 1 -a -n "$(grep -F '"12a"' "$work/tool.out")" ]
check "and stays as it was" [ "$(stored_sn)" = 12a ]
stop_simulator

echo "== two korvane-flash.exe at once, on COM1 and COM2, with one counter in the registry"
# The first run is held in its erase, and its line paced slow, for 10 s or so; the second
# starts once the first is talking to its device, so it finds the counter taken (Windows'
# own file locking and process lookup), however long Wine takes to start on a loaded
# machine.
cp "$work/sample.bin" "$work/two.bin"
add_simulator com1 state --baud 38400 --fault slow-erase=2500
add_simulator com2 state2
store SN 100
timeout 300 wine "$flash_exe" --port COM1 "$windows_dir\\two.bin" </dev/null >"$work/first.raw" 2>&1 &
first=$!
for _ in $(seq 200); do
    ask_simulator dump && [ -s "$work/state/received.bin" ] && break
    sleep 0.05
done
the_tool --port COM2 "$windows_dir\\two.bin"
first_status=0
wait "$first" || first_status=$?
check "the second finds the counter taken, names the first as its holder and exits 1" \
    [ "$tool_status" -eq 1 -a -n "$(grep -F 'in use by another program: korvane-flash (process' \
        "$work/tool.out")" ]
grep -qF 'in use by another program' "$work/tool.out" || sed 's/^/    /' "$work/tool.out"
check "and sends its device nothing" [ -z "$(ask_simulator dump state2 && cat "$work/state2/received.bin")" ]
check "the first numbers its device 00100" \
    [ "$first_status" -eq 0 -a "$(device_record | cut -c9-)" = 00100 ]
[ "$first_status" -eq 0 ] || tr -d '\r' <"$work/first.raw" | sed 's/^/    /' 
the_tool --port COM2 "$windows_dir\\two.bin"
check "once it is done, the next run numbers its device 00101, and SN 102 is left" \
    [ "$tool_status" -eq 0 -a "$(device_record state2 | cut -c9-)" = 00101 -a "$(stored_sn)" = 102 ]
add_simulator com1 state
add_simulator com2 state2
the_tool --port COM1-COM2 "$windows_dir\\two.bin"
check "one korvane-flash.exe flashes both ports at once: 00102 and 00103, SN 104 left" [ \
    "$tool_status" -eq 0 -a "$( (device_record && device_record state2) | cut -c9- | sort |
        paste -sd,)" = 00102,00103 -a "$(stored_sn)" = 104 ]
stop_simulator

echo "== the journal on Windows: the station's own SQLite file, and PostgreSQL on 127.0.0.1"
# journal_field SN COLUMN: that column of the record with this number, in the tool's CSV.
journal_field() {
    awk -F, -v sn="$1" -v column="$2" '$7 == sn { print $column }' "$work/tool.out"
}
the_tool journal --csv
# The gui tests ran in this prefix too: the runs of this package are the window's and the tool's.
check "the station's own journal holds the window's run and the tool's, both succeeded" [ "$(
    package="$windows_dir\\sample.bin" awk -F, '$5 == ENVIRON["package"] { print $7, $9 }' \
        "$work/tool.out" | paste -sd,)" = "41 succeeded,42 succeeded" ]
check "in the local application-data folder" \
    [ -s "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/STM32F10X Korvane/journal.sqlite" ]

# A line's server, reached over TCP with a password, as a Windows station reaches it.
postgres=$(mktemp -d /tmp/korvane-postgres-XXXXXX)
uri=$("$root/scripts/postgres-server.sh" start "$postgres" --tcp 2>&1) || true
uri=${uri##*$'\n'}
check "a PostgreSQL server listens on ${uri##*@}" [ "${uri:0:13}" = postgresql:// ]
# on_the_server SQL: the answer as the server gives it, asked from Linux.
on_the_server() {
    psql -X -A -t "$uri" -c "$1" 2>&1
}
store SN 43
line=(--journal "$uri" --counter journal --station WINE-7)
start_simulator
the_tool --port COM1 "${line[@]}" --sn 5000 "$windows_dir\\sample.bin"
check "a flash with the line's sequence set to 5000 succeeds" [ "$tool_status" -eq 0 ]
check "and numbers the device 05000" [ "$(device_record | cut -c9-)" = 05000 ]
the_tool --port COM1 "${line[@]}" "$windows_dir\\sample.bin"
check "the next flash takes 05001 from the server" \
    [ "$tool_status" -eq 0 -a "$(device_record | cut -c9-)" = 05001 ]
check "the server's sequence stands at 5002" [ "$(on_the_server 'SELECT next FROM sequence')" = 5002 ]
check "the server holds both runs, by station WINE-7, succeeded" [ "$(on_the_server \
    "SELECT string_agg(sn || ' ' || result, ',' ORDER BY sn) FROM runs WHERE station = 'WINE-7'")" \
    = "5000 succeeded,5001 succeeded" ]
check "the registry's SN is left alone (43)" [ "$(stored_sn)" = 43 ]
the_tool journal --journal "$uri" --csv --sn 5001
check "korvane-flash.exe journal reads the record back from the server" \
    [ "$(journal_field 5001 2)" = WINE-7 -a "$(journal_field 5001 8)" = "$(device_record)" ]
"$root/scripts/postgres-server.sh" stop "$postgres" || true
ask_simulator dump && cp "$work/state/report.json" "$work/report.before"
the_tool --port COM1 "${line[@]}" "$windows_dir\\sample.bin"
check "with the server away no run starts, and the tool says why" \
    [ "$tool_status" -eq 1 -a -n "$(grep -F 'cannot be reached' "$work/tool.out")" ]
ask_simulator dump
check "and the device is not touched" cmp -s "$work/report.before" "$work/state/report.json"
check "the password is shown nowhere" [ -z "$(grep -F 'line@7' "$work/tool.out")" ]
stop_simulator

echo "== korvane-flash.exe flashes only what a trusted key signed (keys and signatures by minisign)"
# sign KEY FILE [OPTION...]: FILE.minisig by KEY ($work/KEY.key), as engineering signs.
sign() {
    minisign -S -s "$work/$1.key" -m "$work/$2" -t "release 4.2" "${@:3}" </dev/null >/dev/null
}
for signer in line other; do
    minisign -G -W -p "$work/$signer.pub" -s "$work/$signer.key" </dev/null >/dev/null
done
key_id=$(head -n 1 "$work/line.pub" | awk '{ printf "%16s", $NF }' | tr ' ' 0)
for name in signed changed comment other unsigned legacy; do cp "$work/sample.bin" "$work/$name.bin"; done
sign line signed.bin && sign line changed.bin && sign line comment.bin && sign other other.bin &&
    sign line legacy.bin -l
printf '\x5a' | dd of="$work/changed.bin" bs=1 seek=20000 conv=notrunc status=none
sed -i 's/^trusted comment: release 4.2/trusted comment: release 4.3/' "$work/comment.bin.minisig"
trusted=(--port COM1 --trusted-keys "$windows_dir\\line.pub")
store SN 200
start_simulator
for refused in "changed:was changed after it was signed" "comment:trusted comment" \
    "other:which this station does not trust" "unsigned:is not signed"; do
    the_tool "${trusted[@]}" "$windows_dir\\${refused%%:*}.bin"
    check "${refused%%:*}.bin is refused: ${refused#*:}" \
        [ "$tool_status" -eq 1 -a -n "$(grep -F "${refused#*:}" "$work/tool.out")" ]
done
check "and nothing of them reached the device, nor took a number" \
    [ -z "$(ask_simulator dump && cat "$work/state/received.bin")" -a "$(stored_sn)" = 200 ]
the_tool "${trusted[@]}" --json "$windows_dir\\signed.bin"
check "the signed package is flashed, its JSON naming key $key_id and the comment" \
    [ "$tool_status" -eq 0 -a -n "$(grep -F "\"signer\":\"$key_id\"" "$work/tool.out")" \
        -a -n "$(grep -F '"signed_comment":"release 4.2"' "$work/tool.out")" ]
the_tool "${trusted[@]}" "$windows_dir\\legacy.bin"
check "a legacy signature is taken too" [ "$tool_status" -eq 0 -a "$(device_record | cut -c9-)" = 00201 ]
stop_simulator

echo "== the window's tests, started on an account that is not said to be theirs"
store SN 77
refused=0
timeout 300 wine "$windows/tests/tests_gui.exe" </dev/null >"$work/refused.out" 2>&1 || refused=$?
check "tests_gui.exe without KORVANE_TESTS_MAY_REPLACE_SETTINGS=1 runs nothing, exit 2" \
    [ "$refused" -eq 2 -a -z "$(grep -F '[ RUN' "$work/refused.out")" ]
check "and the registry's SN stays 77" [ "$(stored_sn)" = 77 ]

echo "wine: $passed passed, $failed failed"
exit "$status"
