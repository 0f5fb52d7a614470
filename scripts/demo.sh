#!/usr/bin/env bash
# The main job: builds the tools, packs a sample package and flashes it. Without
# arguments the device is the built-in simulator on a pseudo-terminal, mapped to COM1;
# with a display (DISPLAY or WAYLAND_DISPLAY set) the window opens on it with the sample
# package chosen, and the operator presses Update; without one korvane-flash flashes it.
# Afterwards the script shows what the device holds, entry by entry, and the serial
# number it received. With --port COMn|DEVICE PACKAGE it flashes a real device instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=sample_package.sh
source "$root/scripts/sample_package.sh"
"$root/scripts/bootstrap.sh" programs
"$root/scripts/build.sh" "$root/build/plain" --target programs
flash="$root/build/plain/cli/korvane-flash"
devsim="$root/build/plain/devsim/korvane-devsim"

if [ "${1:-}" = "--port" ]; then
    [ $# -ge 3 ] || { echo "usage: $0 [--port COMn|DEVICE PACKAGE]" >&2; exit 2; }
    exec "$flash" --port "$2" "$3"
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

packed=$(pack_sample "$flash" "$work")
start_simulator "$devsim" "$work"
echo "== a sample package (${packed#*: }), a simulated device on $(head -n 1 "$work/devsim.out") as COM1"

# A profile of the demo's own, naming the sample package: flashing a simulated device
# must not advance the counter that real devices get their serial numbers from.
mkdir -p "$work/config/STM32F10X Korvane"
printf '[Setting]\nFile=%s\nPort=0\nSN=1\n' "$work/sample.bin" \
    >"$work/config/STM32F10X Korvane/korvane.conf"
# The journal too: simulated devices stay out of the station's real records.
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" KORVANE_COM1="$work/port"

status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "== flashing from the window: press Update, watch the run, then close the window"
    if ! "$root/build/plain/app/korvane"; then
        echo "== the window did not end normally; flashing from the command line"
        "$flash" --port COM1 "$work/sample.bin" || status=$?
    fi
else
    echo "== flashing it with korvane-flash"
    "$flash" --port COM1 "$work/sample.bin" >"$work/flash.out" 2>&1 || status=$?
    # The tool names each image as it goes in; the table below does too, so a run that
    # went well shows only how it ended.
    if [ "$status" -eq 0 ]; then tail -n 2 "$work/flash.out"; else cat "$work/flash.out"; fi
fi
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=

echo "== what the device holds"
mismatches=0
check() {  # label, expected file, actual stream
    if cmp -s "$2" -; then
        printf '  %-12s %-34s matches\n' "$1" "$3"
    else
        printf '  %-12s %-34s DIFFERS\n' "$1" "$3"
        mismatches=$((mismatches + 1))
    fi
}
for image in "${images[@]}"; do
    read -r name where size <<<"$image"
    case "$where" in
    loader) head -c "$size" "$work/device/flash.bin" | check "$name" "$work/$name" "flash from 0x08000000" ;;
    firmware) head -c "$size" "$work/device/firmware.bin" | check "$name" "$work/$name" "firmware from 0x08000000" ;;
    *)
        blocks=$(((size + 511) / 512))
        files=()
        for ((b = where; b < where + blocks; b++)); do files+=("$work/device/block-$b.bin"); done
        cat "${files[@]}" 2>/dev/null | head -c "$size" |
            check "$name" "$work/$name" "data blocks $where..$((where + blocks - 1))"
        ;;
    esac
done
record=$(sed -n 's/.*"text": "\([^"]*\)".*/\1/p' "$work/device/report.json")
echo "  serial number received: ${record:-none}"
[ "$status" -eq 0 ] && [ "$mismatches" -eq 0 ] && echo "== done" || { echo "== FAILED"; exit 1; }
