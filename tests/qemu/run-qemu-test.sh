#!/usr/bin/env bash
# Boots Debian's kernel in qemu-system-x86_64 with two emulated parallel ports
# (0x378 and 0x278) and runs the probe from an initramfs, before any
# parallel-port driver is loaded: the probe loads parport, parport_pc, ppdev
# and lp itself, renumbers the ports and lets other programs hold them. Then
# checks what the probe saw on the guest's console, and what reached each
# port's output (qemu's -parallel files: the bytes the printer driver strobed).
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
mkdir -p "$work/root"/{bin,dev,proc,sys,modules}
cp "$busybox" "$work/root/bin/busybox"
strip -o "$work/root/probe" "$probe" 2>/dev/null || cp "$probe" "$work/root/probe"

for name in parport parport_pc ppdev lp; do
    file=$(find "$modules" -name "$name.ko*" | head -n 1)
    [ -n "$file" ] || { echo "FAIL: module $name not found under $modules"; exit 1; }
    case $file in
        *.ko)     cp "$file" "$work/root/modules/$name.ko" ;;
        *.ko.xz)  xz -dc "$file" >"$work/root/modules/$name.ko" ;;
        *.ko.zst) zstd -qdc "$file" >"$work/root/modules/$name.ko" ;;
        *.ko.gz)  gzip -dc "$file" >"$work/root/modules/$name.ko" ;;
        *) echo "FAIL: cannot unpack $file"; exit 1 ;;
    esac
done

# No driver is loaded here: the probe loads them while it runs.
cat >"$work/root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev || true
[ -e /dev/port ] || mknod /dev/port c 1 4
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
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "FAIL: the guest did not finish within ${boot_limit} s"
    cat "$work/console.log" 2>/dev/null || true
    exit 1
fi

tr -d '\r' <"$work/console.log" | grep '^PROBE' >"$work/probe.log" || true
echo "--- what the guest saw"
cat "$work/probe.log"
echo "---"

failures=0
expect() {
    if ! grep -Eqx -- "$1" "$work/probe.log"; then
        echo "MISMATCH: no line matching: $1"
        failures=$((failures + 1))
    fi
}
held='held by another program: close it; the panel takes the port as soon as it is free'

# A. Before any driver: nothing there, so the simulated port; raw I/O (asked
# for) reaches a standard base, never another device's registers.
expect 'PROBE nodrivers plain 888 Absent\|simulated port\|no parallel port found\|.*'
expect 'PROBE nodrivers raw 888 Real\|/dev/port\|\|'
expect 'PROBE nodrivers raw-write wrote 0x378=0x11'
for foreign in 1016 1000 3324 1540; do
    expect "PROBE nodrivers raw $foreign Refused\| refused"
done
# B. parport_pc without ppdev: the port is the driver's; raw I/O lets go of it.
expect 'PROBE parport_pc table 888[[:space:]].*632[[:space:]].*'
expect 'PROBE parport_pc raw 888 Unusable\|/dev/parport0\|/dev/parport0: not found: the ppdev module is not loaded\|have the ppdev module loaded \(modprobe ppdev\)'
expect 'PROBE parport_pc plain 888 Unusable\|/dev/parport0\|/dev/parport0: not found: the ppdev module is not loaded\|.*'
expect 'PROBE parport_pc raw-write refused unchanged=y'
# C. ppdev loaded: driven without a restart; a second panel is told and drives nothing.
expect 'PROBE ppdev raw 888 real /dev/parport0'
expect "PROBE second-panel 888 Unusable\|/dev/parport0\|/dev/parport0: in use by another program \(ppdev0\)\|$held\|busy"
expect 'PROBE second-panel write refused unchanged=y'
# Only bits 0-3 exist in the control register; raw I/O may show the rest as 1.
expect 'PROBE control-after-claim ppdev=0x00 direction=forward lines=0x00'
for value in 00 01 02 F1; do
    expect "PROBE data wrote=0x$value ppdev=0x$value raw=0x$value"
done
# D. The second port is its own; leaving it releases it.
expect 'PROBE other 632 Real\|/dev/parport1\|\|'
expect 'PROBE other write wrote 0x278=0xA6 0x378=0xF1'
expect 'PROBE other 956 Absent\|simulated port'
# E. The printer driver prints on the port the panel left.
expect 'PROBE print-one exit=0'
# F. The first panel gone, the second takes the port.
expect 'PROBE second-panel real /dev/parport0'
# G. Another program's shared claim: told at once, nothing written, no claim
# retried (nor kernel log line) while it holds; driven once it lets go.
expect 'PROBE shared-holder claimed y'
expect "PROBE shared-held Unusable\|/dev/parport0\|/dev/parport0: in use by another program \(ppdev0\)\|$held\|busy"
expect 'PROBE shared-held write refused unchanged=y'
expect 'PROBE shared-held ticks claims=0 log-lines=0'
expect 'PROBE shared-freed real /dev/parport0'
expect 'PROBE shared-freed write wrote 0x378=0x3C'
# H. Exclusive: said so; then the ports renumbered, and 888 followed to parport1.
expect 'PROBE exclusive-holder claimed y'
expect 'PROBE exclusive-held Unusable\|/dev/parport0\|/dev/parport0: in use by another program, which holds it exclusively\|held exclusively by another program: close it; the panel takes the port as soon as it is free\|busy'
expect 'PROBE exclusive-held write refused unchanged=y'
expect 'PROBE exclusive-held ticks claims=0 log-lines=0'
expect 'PROBE renumber ok'
expect 'PROBE renumbered table parport0=632 parport1=888'
expect 'PROBE exclusive-freed real /dev/parport1'
expect 'PROBE renumbered write wrote 0x378=0x81'
# I. The printer driver prints to 0x278 while the panel holds 0x378.
expect 'PROBE print-two exit=0'
expect 'PROBE after-print 0x378=0x81'
expect 'PROBE done'
expect 'PROBE-EXIT 0'

# What the ports put out: both print jobs on 0x278's, nothing on 0x378's.
if [ "$(tr -d '\r\0' <"$work/parallel-278.out")" != "$(printf 'PRINT-ONE\nPRINT-TWO')" ]; then
    echo "MISMATCH: the port at 0x278 put out: $(od -c "$work/parallel-278.out" | head -n 5)"
    failures=$((failures + 1))
fi
if [ -s "$work/parallel-378.out" ]; then
    echo "MISMATCH: the port at 0x378 put out: $(od -c "$work/parallel-378.out" | head -n 5)"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "FAIL: $failures mismatches; the guest's console:"
    cat "$work/console.log"
    exit 1
fi
echo "PASS: the kernel's parallel-port drivers behave as the panel expects"
