#!/usr/bin/env bash
# The drivers tier: the product's programs from a build tree run in a QEMU guest on Debian's
# own kernel, through its real serial drivers (ftdi_sio for an emulated FTDI adapter on USB,
# 8250 for an emulated 16550), against simulated devices on the host that follow the modem
# lines QEMU's trace shows. Linux only; as root, or as a user who may run QEMU and whose
# build tree QEMU may read.
#
#   scripts/drivers-test.sh [BUILD_DIR] [GTEST OPTION...]
#
# BUILD_DIR defaults to build/plain; e.g. --gtest_filter='*Wiring*' runs some tests alone.
# Ends with "drivers: N passed, N failed". A failed test prints its timeline: QEMU's trace
# of the ports, the bytes each device received and the commands run in the guest, in the
# order of the host's clock (docs/developer-guide.md says how to read it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/plain
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then
    build=$1
    shift
fi
"$root/scripts/bootstrap.sh" programs tests drivers
"$root/scripts/build.sh" "$build" --target tests_drivers
build=$(cd "$build" && pwd)
# Debian's kernel and the guest's initramfs are kept beside the build tree's programs.
kernel=$("$root/scripts/guest-kernel.sh" "$build/guest" | tail -n 1)
initramfs=$build/guest/initramfs.cpio.gz
"$root/tests/drivers/guest/build-initramfs.sh" "$kernel" "$initramfs"

export KORVANE_GUEST_KERNEL=$kernel/vmlinux KORVANE_GUEST_INITRAMFS=$initramfs
log=$build/tests/drivers.log
status=0
"$build/tests/tests_drivers" "$@" 2>&1 | tee "$log" || status=$?
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n 1)
failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n 1)
passed=${passed:-0}
failed=${failed:-0}
# A run that ended before its summary (a crash, a hang cut short) failed all the same.
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1
fi
echo "drivers: $passed passed, $failed failed"
[ "$status" -eq 0 ]
