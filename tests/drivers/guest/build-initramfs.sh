#!/usr/bin/env bash
# Builds the drivers tier's initramfs: busybox, the kernel modules the guest needs (with
# what they depend on, in loading order) and the guest's init.
#
#   tests/drivers/guest/build-initramfs.sh KERNEL_DIR OUTPUT
#
# KERNEL_DIR is an unpacked kernel package with its module index (scripts/guest-kernel.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kernel=$1
output=$2
release=$(ls "$kernel/lib/modules")
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{bin,proc,sys,dev,mnt,etc,lib/modules}
cp /bin/busybox "$tree/bin/busybox"
# The 9p shares over virtio, the virtio console and agent port, and the USB adapter.
wanted="virtio_pci 9pnet_virtio 9p virtio_console usbcore xhci_pci usbserial ftdi_sio"
for module in $wanted; do
    modprobe -d "$kernel" -S "$release" --show-depends "$module"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r path; do
    cp "$path" "$tree/lib/modules/"
    basename "$path" >>"$tree/etc/modules.list"
done
install -m 755 "$here/init" "$tree/init"
(cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$output.part"
mv "$output.part" "$output"
