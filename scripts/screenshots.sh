#!/usr/bin/env bash
# Saves screenshots of the window:  scripts/screenshots.sh [OUTDIR]
#
# Builds (into $KORVANE_BUILD_DIR, default build/plain), packs the sample package, starts
# the simulated device paced like a real line at 115200 baud so that a run can be caught
# half way, and runs korvane-screenshots on a virtual X display (Xvfb) with a profile of
# its own that names the package, and with COM1 mapped to the simulator. It presses
# Update and saves into OUTDIR (default build/screenshots):
#   dialog-mid-run.png  the main window during the run, the gradient bar about half way
#   dialog-done.png     the main window after the run
#   context-menu.png    the window's context menu with the about entry
#   about.png           the about box opened from it
# Xvfb runs no window manager, so the windows show without a title bar.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=sample_package.sh
source "$root/scripts/sample_package.sh"
out=$(mkdir -p "${1:-$root/build/screenshots}" && cd "${1:-$root/build/screenshots}" && pwd)
build=${KORVANE_BUILD_DIR:-$root/build/plain}

"$root/scripts/bootstrap.sh" programs display
"$root/scripts/build.sh" "$build" --target programs --target korvane-screenshots

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        # The simulator writes its memory out as it ends; let it finish first.
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
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
