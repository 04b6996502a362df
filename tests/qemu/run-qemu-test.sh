#!/usr/bin/env bash
# Boots Debian's kernel in qemu-system-x86_64 with two emulated parallel ports
# (0x378 and 0x278) and runs the probe from an initramfs, before any
# parallel-port driver is loaded: the probe loads parport, parport_pc, ppdev
# and lp itself, renumbers the ports and lets other programs hold them, and
# judges what it sees. Then checks what reached each port's output (qemu's
# -parallel files: the bytes the printer driver strobed).
# Usage: run-qemu-test.sh PROBE KERNEL_ROOT WORK_DIR
# Exits 77 (skipped) when qemu, busybox-static, cpio or the kernel is missing.
set -euo pipefail

probe=$1 kernel_root=$2 work=$3
boot_limit=${QEMU_BOOT_LIMIT:-100}

skip() { echo "SKIPPED: $*"; exit 77; }

qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 not installed (package qemu-system-x86)"
command -v cpio >/dev/null || skip "cpio not installed"
busybox=/bin/busybox
[ -x "$busybox" ] && ! readelf -l "$busybox" 2>/dev/null | grep -q INTERP \
    || skip "no static busybox (package busybox-static)"
vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-* 2>/dev/null | head -n 1) || true
[ -n "$vmlinuz" ] || skip "no kernel unpacked in $kernel_root (make kernel)"
modules=$(ls -d "$kernel_root"/lib/modules/*/kernel 2>/dev/null | head -n 1) || true
[ -n "$modules" ] || skip "no kernel modules in $kernel_root"

rm -rf "$work"
mkdir -p "$work/root"/{bin,dev,proc,sys,modules,run/lock}
cp "$busybox" "$work/root/bin/busybox"
strip -o "$work/root/probe" "$probe" 2>/dev/null || cp "$probe" "$work/root/probe"

# Debian's modules are plain, or xz-compressed since trixie.
for name in parport parport_pc ppdev lp; do
    file=$(find "$modules" -name "$name.ko*" | head -n 1)
    [ -n "$file" ] || { echo "FAIL: module $name not found under $modules"; exit 1; }
    xz -dcf "$file" >"$work/root/modules/$name.ko"
done

# No driver is loaded here: the probe loads them while it runs.
cat >"$work/root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev || true
[ -e /dev/port ] || mknod /dev/port c 1 4
cd /modules
/probe
echo "PROBE-EXIT $?"
poweroff -f
INIT
chmod +x "$work/root/init"
(cd "$work/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"

# The first -parallel is the ISA port at 0x378, the second the one at 0x278.
status=0
timeout --kill-after=10 "$boot_limit" "$qemu" -nodefaults -no-user-config -display none -no-reboot -m 256 -accel tcg \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" \
    -serial "file:$work/console.log" \
    -parallel "file:$work/parallel-378.out" -parallel "file:$work/parallel-278.out" || status=$?

# The probe's verdict, and what the ports put out: both print jobs on 0x278's, nothing on 0x378's.
printed="$(tr -d '\r\0' <"$work/parallel-278.out")|$(tr -d '\r\0' <"$work/parallel-378.out")"
if ! tr -d '\r' <"$work/console.log" | grep -qx 'PROBE-EXIT 0' || [ "$printed" != "$(printf 'PRINT-ONE\nPRINT-TWO|')" ]; then
    echo "FAIL: the probe did not pass (qemu exited with $status, 124 if not done within ${boot_limit} s); the ports put out: $printed; the guest's console:"
    cat "$work/console.log"
    exit 1
fi
tr -d '\r' <"$work/console.log" | grep '^PROBE'
echo "PASS: the kernel's parallel-port drivers behave as the panel expects"
