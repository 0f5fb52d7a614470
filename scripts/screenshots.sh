#!/usr/bin/env bash
# Saves screenshots of the window:  scripts/screenshots.sh [OUTDIR]
#
# Builds (into $KORVANE_BUILD_DIR, default build/plain), packs the sample package, starts
# the simulated device paced like a real line at 115200 baud so that a run can be caught
# half way, and runs korvane-screenshots on a virtual X display (Xvfb) with a profile of
# its own that names the package, and with COM1 mapped to the simulator. It presses
# Update and saves into OUTDIR (default build/screenshots):
#   dialog-idle.png     the main window before the run
#   dialog-mid-run.png  the main window during the run, the gradient bar about half way
#   dialog-done.png     the main window after the run
#   context-menu.png    the window's context menu with the about entry
#   about.png           the about box opened from it
#   station-mid-shift.png  the station window over four empty simulated fixtures into
#                       which devices are put: one passed, one failed, one half way, one
#                       still empty
#   dashboard.png       the line's dashboard in headless Chromium, on a journal of a shift
#                       with hostile names in it (the browser test's own, shown as text)
# Xvfb runs no window manager, so the windows show without a title bar.
#
# When a Windows build with the window is at hand ($KORVANE_WINDOWS_BUILD_DIR, default
# build/windows, as scripts/test.sh makes it), the same run is repeated with
# korvane-screenshots.exe under Wine, drawn by the Windows platform inside a Wine desktop
# window (frames and title bars as Windows draws them), into OUTDIR/windows: the same
# pictures, with system-menu.png (the system menu with its about entry) in place of
# context-menu.png. Its profile is the registry of a Wine prefix of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=sample_package.sh
source "$root/scripts/sample_package.sh"
out=$(mkdir -p "${1:-$root/build/screenshots}" && cd "${1:-$root/build/screenshots}" && pwd)
build=${KORVANE_BUILD_DIR:-$root/build/plain}
windows=${KORVANE_WINDOWS_BUILD_DIR:-$root/build/windows}

"$root/scripts/bootstrap.sh" programs display
"$root/scripts/build.sh" "$build" --target programs --target korvane-screenshots

work=$(mktemp -d)
sim_pid=
fixture_pids=()
stop_simulator() {
    if [ -n "$sim_pid" ]; then
        # The simulator writes its memory out as it ends; let it finish first.
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
cleanup() {
    stop_simulator
    for pid in "${fixture_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ -n "${WINEPREFIX:-}" ]; then
        wine_prefix_end
        wine_display_end
    fi
    rm -rf "$work"
}
trap cleanup EXIT

pack_sample "$build/cli/korvane-flash" "$work" >/dev/null
start_simulator "$build/devsim/korvane-devsim" "$work" --baud 115200
mkdir -p "$work/config/STM32F10X Korvane"
printf '[Setting]\nFile=%s\nPort=0\nSN=41\n' "$work/sample.bin" \
    >"$work/config/STM32F10X Korvane/korvane.conf"

XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" KORVANE_COM1="$work/port" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 800x600x24" "$build/app/korvane-screenshots" "$out"

# The station: four fixtures, empty at first, the third one's device refusing a write.
fixtures=()
ports=()
for n in 1 2 3 4; do
    dir="$work/fixture$n"
    mkdir -p "$dir/state"
    fault=()
    [ "$n" -eq 3 ] && fault=(--fault refuse-write=0x08000000)
    start_simulator "$build/devsim/korvane-devsim" "$dir" --baud 115200 --fixture-empty \
        --state-dir "$dir/state" "${fault[@]}"
    fixture_pids+=("$sim_pid")
    sim_pid=
    fixtures+=("$dir/state")
    ports+=("KORVANE_COM$n=$dir/port")
done
env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" "${ports[@]}" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1400x700x24" "$build/app/korvane-screenshots" --station "$out" \
    "${fixtures[@]}"
for pid in "${fixture_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
fixture_pids=()

# The dashboard, drawn by Chromium through WebDriver on the browser test's journal.
"$root/scripts/bootstrap.sh" tests
/usr/bin/python3 "$root/tests/browser/dashboard_page_test.py" "$build/cli/korvane-flash" \
    "$root/scripts/postgres-server.sh" --screenshot "$out/dashboard.png"

if [ ! -f "$windows/build.ninja" ] || ! grep -q 'korvane-screenshots\.exe' "$windows/build.ninja"; then
    echo "no Windows build with the window in $windows: the Windows set is left out"
    exit 0
fi
"$root/scripts/bootstrap.sh" windows
"$root/scripts/build.sh" "$windows" --target korvane-screenshots
# shellcheck source=wine-prefix.sh
source "$root/scripts/wine-prefix.sh"
stop_simulator
start_simulator "$build/devsim/korvane-devsim" "$work" --baud 115200
wine_display "$work"
wine_prefix "$work" "$work/port"
key='HKCU\Software\STM32F10X Korvane\korvane\Setting'
wine reg add "$key" /v File /d "Z:${work//\//\\}\\sample.bin" /f >/dev/null 2>&1
wine reg add "$key" /v Port /t REG_DWORD /d 0 /f >/dev/null 2>&1
wine reg add "$key" /v SN /t REG_DWORD /d 41 /f >/dev/null 2>&1
mkdir -p "$out/windows"
wine explorer /desktop=korvane,800x600 "$windows/app/korvane-screenshots.exe" \
    "Z:${out//\//\\}\\windows" </dev/null | tr -d '\r'
sn=$(wine reg query "$key" /v SN | tr -d '\r' | awk '$1 == "SN" { print $3 }')
echo "SN in the registry afterwards: $((sn))"
ls "$out/windows"/*.png
[ "$(ls "$out/windows"/*.png | wc -l)" -eq 5 ] || { echo "screenshots: the Windows set is not whole" >&2; exit 1; }
