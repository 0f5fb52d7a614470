#!/usr/bin/env bash
# Installs the Debian packages that a job needs, when they are missing:
#
#   scripts/bootstrap.sh GROUP...      e.g. scripts/bootstrap.sh programs
#
# Each package is listed once, in the group of the job that needs it; a job asks for the
# groups it needs, and "all" stands for every group. As root it installs with apt-get,
# otherwise through sudo; a user with neither is shown the command a root user must run.
set -euo pipefail

declare -A groups=(
    # build and run the three programs, with the dashboard's HTTP server (cpp-httplib) and
    # its charts (Chart.js, which the page loads from the system's copy)
    [programs]="g++ cmake ninja-build pkg-config qt6-base-dev qt6-serialport-dev libqt6sql6-sqlite libqt6sql6-psql libgcrypt20-dev libcpp-httplib-dev libjs-chart.js"
    # build their Debian package: manual pages, and Depends from the libraries; check it
    # with lintian, its manual pages with man, its desktop entries with
    # desktop-file-validate, and by installing it into a fresh Debian root made by debootstrap
    [package]="help2man dpkg-dev file lintian man-db desktop-file-utils debootstrap"
    # the tests, an independent bootloader client they check the simulator against, and
    # the signing tool whose keys and signatures they check; the dashboard's page in
    # Chromium, driven through WebDriver from Python
    [tests]="libgtest-dev libgmock-dev stm32flash postgresql minisign chromium chromium-driver python3-selenium"
    # the window on a virtual display, with a font for its Chinese texts
    [display]="xvfb xauth fonts-wqy-microhei"
    # the Windows build (with libgcrypt for MinGW, linked in statically) and its tests under
    # Wine (with Wine's own fonts, whose Marlett draws the caption buttons); the window's run
    # there is clicked through the X server
    [windows]="mingw-w64 libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev wine wine64 fonts-wine xdotool"
    # building the Windows Qt from Debian's sources (scripts/windows-qt.sh --build)
    [windows-qt]="dpkg-dev tcl bzip2 xz-utils"
    # the fuzzers, built with clang and its sanitizer runtime
    [fuzz]="clang libclang-rt-dev"
    # the drivers tier's guest: QEMU, and what its initramfs is made of (busybox, the
    # kernel's modules picked with modprobe, an archive for cpio); its kernel is Debian's
    # own, fetched with apt-get download (scripts/guest-kernel.sh)
    [drivers]="qemu-system-x86 busybox-static kmod cpio xz-utils"
)

[ $# -gt 0 ] || { echo "usage: $0 GROUP... (${!groups[*]}, or all)" >&2; exit 2; }
selected=()
for group in "$@"; do
    if [ "$group" = all ]; then selected+=("${!groups[@]}"); else selected+=("$group"); fi
done
wanted=()
for group in "${selected[@]}"; do
    [ -n "${groups[$group]:-}" ] || { echo "bootstrap: no group '$group' (${!groups[*]}, or all)" >&2; exit 2; }
    read -r -a more <<<"${groups[$group]}"
    wanted+=("${more[@]}")
done

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

install_line="apt-get install -y --no-install-recommends ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        cat >&2 <<EOF
bootstrap: these Debian packages are missing: ${missing[*]}
bootstrap: this user is not root and has no sudo to install them. As root, run:

    $install_line

and then run this command again.
EOF
        exit 1
    fi
    sudo_cmd=(sudo)
    if ! sudo -n true 2>/dev/null; then
        echo "bootstrap: installing ${missing[*]} with sudo, which will ask for your password"
    fi
fi

# One line per package as apt-get fetches it, and one as it sets it up; the rest of its
# chatter is left out.
apt_progress() {
    local line fields total=0 fetched=0 set_up=0
    while IFS= read -r line; do
        read -r -a fields <<<"$line"
        case "$line" in
        [0-9]*" upgraded, "*" newly installed"*) total=$((fields[0] + fields[2])) ;;
        "Need to get "*) echo "  $line" ;;
        Get:[0-9]*) echo "  fetched $((++fetched))/$total: ${fields[4]} ${fields[*]:7}" ;;
        "Setting up "*) echo "  set up $((++set_up))/$total: ${fields[2]}" ;;
        "E: "* | "W: "*) echo "$line" ;;
        esac
    done
}

echo "== installing ${missing[*]}"
echo "  updating the package index"
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}" 2>&1 | apt_progress
