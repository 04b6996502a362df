#!/usr/bin/env bash
# Boots Debian's kernel in qemu-system-x86_64 with an emulated parallel port at
# 0x378, loads parport, parport_pc and ppdev from an initramfs and runs the
# probe there; then checks what the probe saw on the guest's console.
# Usage: run-qemu-test.sh PROBE KERNEL_ROOT WORK_DIR
# Exits 77 (skipped) when qemu, busybox-static, cpio or the kernel is missing.
set -euo pipefail

probe=$1 kernel_root=$2 work=$3
boot_limit=${QEMU_BOOT_LIMIT:-120}

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

# parport first: the other two depend on it.
for name in parport parport_pc ppdev; do
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

cat >"$work/root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev || true
for name in parport parport_pc ppdev; do
    insmod /modules/$name.ko || echo "PROBE-FAIL insmod $name"
done
[ -e /dev/parport0 ] || mknod /dev/parport0 c 99 0
[ -e /dev/port ] || mknod /dev/port c 1 4
echo "PROBE-BASE $(cat /proc/sys/dev/parport/parport0/base-addr 2>&1)"
/probe
echo "PROBE-EXIT $?"
poweroff -f
EOF
chmod +x "$work/root/init"
(cd "$work/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"

status=0
timeout --kill-after=10 "$boot_limit" "$qemu" -nodefaults -no-user-config -display none -no-reboot -m 256 -accel tcg \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" \
    -serial "file:$work/console.log" -parallel "file:$work/parallel.out" || status=$?
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
expect 'PROBE-BASE 888[[:space:]].*'
expect 'PROBE describe 888 /dev/parport0'
# Only bits 0-3 exist in the control register; raw I/O may show the rest as 1.
expect 'PROBE control-after-claim ppdev=0x00 raw=0x[0-9A-F]0'
for value in 00 01 02 F1; do
    expect "PROBE data wrote=0x$value ppdev=0x$value raw=0x$value"
done
expect 'PROBE ppdev-serves 632 no parallel port at this address; /dev/parport0 is at 888 \(0x378\)'
# As root in the guest, raw I/O may take an address no driver owns.
expect 'PROBE describe 632 /dev/port'
expect 'PROBE raw-serves 0x60 /dev/port: refusing 0x60.*'
expect 'PROBE guarded-raw-serves 888 /dev/port: 0x378 belongs to .*'
expect 'PROBE holder-claimed y'
expect 'PROBE held-describe 888 simulated — /dev/parport0: busy.*'
expect 'PROBE freed-describe 888 /dev/parport0'
expect 'PROBE done'
expect 'PROBE-EXIT 0'
if grep -q 'PROBE-FAIL' "$work/probe.log"; then
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "FAIL: $failures mismatches; the guest's console:"
    cat "$work/console.log"
    exit 1
fi
echo "PASS: the kernel's parallel-port driver behaves as the panel expects"
