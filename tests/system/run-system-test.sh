#!/usr/bin/env bash
# Boots the package as a user's Debian 12 would run it: Debian's kernel in
# qemu-system-x86_64 with emulated parallel ports at 0x378 and 0x278, the cached
# Debian 12 root file system (make-root.sh) with systemd as init, and the
# .deb built from this tree handed in on a second disk; guest-checks.sh
# installs it with apt and checks the service step by step. Each step's line
# is shown as the guest prints it.
# Usage: run-system-test.sh CPACK BUILD KERNEL_ROOT SYSTEM_ROOT WORK
# Exits 77 (skipped) where it cannot run: not root (the root file system is
# root's), no qemu, no kernel, no cached root.
set -euo pipefail

cpack=$1 build=$2 kernel_root=$3 root=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
limit=${SYSTEM_TEST_LIMIT:-900}
begin=$SECONDS

skip() { echo "SKIPPED: $*"; exit 77; }
say() { echo "system-test: $*"; }
# Runs a command with its output in LOG, named with the last lines if it fails.
logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { echo "FAIL: $* (output in $log):"; tail -n 15 "$log"; exit 1; }
}

[ "$(id -u)" = 0 ] || skip "needs root (the cached root file system is root's files)"
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 not installed (package qemu-system-x86)"
for tool in mke2fs cpio tar; do command -v $tool >/dev/null || skip "$tool not installed"; done
busybox=/bin/busybox
[ -x "$busybox" ] && ! readelf -l "$busybox" 2>/dev/null | grep -q INTERP || skip "no static busybox (package busybox-static)"
vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-* 2>/dev/null | head -n 1) || true
[ -n "$vmlinuz" ] || skip "no kernel unpacked in $kernel_root (make kernel)"
version=${vmlinuz##*/vmlinuz-}
modules=$kernel_root/lib/modules/$version
[ -x "$root/sbin/init" ] && [ -d "$root/var/lib/apt/lists" ] || skip "no Debian 12 root file system in $root (make system-root)"

rm -rf "$work" "$work.duration" && mkdir -p "$work/payload"
cached=""  # what this run had to add to the cached root, which a later run will not
# A /dev/kvm without the processor's virtualisation flags (a virtual machine
# that does not nest) takes the guest and never runs it.
accel=tcg
[ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo && accel=kvm

# The package, from what the build tree holds now.
say "packaging the build tree"
logged "$work/cpack.log" "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out"
deb=$(ls "$work"/out/*.deb)
cp "$deb" "$here/guest_tools.py" "$work/payload/"
# SYSTEM_TEST_CHECKS: other checks to run in the guest instead, when looking into a failure.
cp "${SYSTEM_TEST_CHECKS:-$here/guest-checks.sh}" "$work/payload/guest-checks.sh"
dpkg-deb --field "$deb" Version >"$work/payload/version"

# Kernel modules, a closure under their dependencies: "depends=" in each
# module's .modinfo section. Printed dependencies first.
module_file() { find "$modules/kernel" -name "$1.ko*" | head -n 1; }
closure() {
    local name file
    for name in "$@"; do
        case " $seen " in *" $name "*) continue ;; esac
        seen="$seen $name"
        file=$(module_file "$name")
        [ -n "$file" ] || { echo "FAIL: module $name not found under $modules" >&2; exit 1; }
        closure $(xz -dcf "$file" | tr '\0' '\n' | sed -n 's/^depends=//p' | tr , ' ')
        echo "$name"
    done
}
seen=""
boot_modules=$(closure virtio_pci virtio_blk crc32c_generic ext4)
seen=""
guest_modules=$(closure $boot_modules virtio_net parport_pc ppdev)

# The guest's own modules, for udev and modprobe, kept in the root once per kernel.
if [ ! -f "$root/lib/modules/$version/modules.dep" ]; then
    say "adding the kernel's modules for the guest to the root"
    rm -rf "$root/lib/modules/$version" && mkdir -p "$root/lib/modules/$version"
    cp "$modules"/modules.builtin* "$modules"/modules.order "$root/lib/modules/$version/"
    for name in $guest_modules; do
        file=$(module_file "$name")
        mkdir -p "$root/lib/modules/$version/${file#"$modules"/}" && rmdir "$root/lib/modules/$version/${file#"$modules"/}"
        xz -dcf "$file" >"$root/lib/modules/$version/${file#"$modules"/}"
    done
    logged "$work/depmod.log" chroot "$root" depmod "$version"
fi

# The package's dependencies installed in the root as apt installs them
# (what a user's Debian has once apt has resolved them; unpacking 150
# packages inside an emulated machine would take most of the run), and what
# it recommends fetched into the root's apt archive, for apt in the guest to
# resolve and install with the package. Only what is missing: a run fetches
# nothing once the root has it all.
depends=$(dpkg-deb --field "$deb" Depends)
chroot "$root" apt-get satisfy --simulate --no-install-recommends "$depends" >"$work/resolve.log" 2>&1 ||
    { echo "FAIL: apt cannot resolve the package's dependencies in the root (output in $work/resolve.log):"; tail -n 15 "$work/resolve.log"; exit 1; }
missing=$(grep -c '^Inst ' "$work/resolve.log" || true)
if [ "$missing" -gt 0 ]; then
    say "installing the $missing packages the .deb depends on into the root; output in $work/dependencies.log"
    cached=" (installed $missing packages into the root first)"
    logged "$work/dependencies.log" chroot "$root" env DEBIAN_FRONTEND=noninteractive \
        apt-get satisfy -y --no-install-recommends "$depends"
fi
cp "$deb" "$root/tmp/"
inside=/tmp/${deb##*/}
chroot "$root" apt-get install --print-uris -qq "$inside" 2>>"$work/resolve.log" | grep "^'" | grep -v "^'file:" >"$work/missing" || true
missing=$(wc -l <"$work/missing")
if [ "$missing" -gt 0 ]; then
    size=$(awk '{ s += $3 } END { printf "%.1f", s / 1048576 }' "$work/missing")
    say "fetching the $missing packages apt installs with the .deb into the root's apt archive ($size MB); output in $work/fetch.log"
    logged "$work/fetch.log" chroot "$root" apt-get install --download-only -y "$inside"
fi
rm -f "$root$inside"

# The guest's network (DHCP on QEMU's user network, which reaches nothing
# beyond the host) and its checks, run once it is up; written each run, so
# that the cached root holds only Debian's packages.
mkdir -p "$root/etc/systemd/network"
printf '[Match]\nName=eth*\n\n[Network]\nDHCP=ipv4\n' >"$root/etc/systemd/network/50-guest.network"
cat >"$root/etc/systemd/system/guest-checks.service" <<'UNIT'
[Unit]
Description=The service test's checks, handed in on /dev/vdb
After=multi-user.target network-online.target
Wants=network-online.target

[Service]
Type=oneshot
TimeoutStartSec=infinity
ExecStart=/bin/sh -c 'mkdir -p /run/checks && tar -xf /dev/vdb -C /run/checks && exec sh /run/checks/guest-checks.sh'
ExecStopPost=/bin/systemctl --no-block poweroff
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0

[Install]
WantedBy=multi-user.target
UNIT
logged "$work/enable.log" chroot "$root" systemctl enable systemd-networkd.service guest-checks.service

# A fresh disk of the cached root for this run, and a boot that mounts it.
say "making the guest's disk"
logged "$work/mke2fs.log" mke2fs -F -q -t ext4 -d "$root" "$work/root.img" 3G
tar -cf "$work/payload.tar" -C "$work/payload" .
mkdir -p "$work/initramfs"/{bin,dev,proc,sys,newroot,modules}
cp "$busybox" "$work/initramfs/bin/busybox"
for name in $boot_modules; do xz -dcf "$(module_file "$name")" >"$work/initramfs/modules/$name.ko"; done
cat >"$work/initramfs/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for name in $(echo $boot_modules); do insmod /modules/\$name.ko; done
tries=0
while [ ! -b /dev/vda ] && [ \$tries -lt 100 ]; do sleep 0.1; tries=\$((tries + 1)); done
mount -t ext4 /dev/vda /newroot || { echo "INIT: cannot mount the root file system"; poweroff -f; }
umount /proc /sys
mount --move /dev /newroot/dev
exec switch_root /newroot /sbin/init
INIT
chmod +x "$work/initramfs/init"
(cd "$work/initramfs" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"

say "booting Debian 12 with systemd ($accel; console in $work/console.log)"
: >"$work/console.log"
timeout --kill-after=10 "$limit" "$qemu" -nodefaults -no-user-config -display none -no-reboot \
    -machine pc -accel $accel -cpu max -smp 2 -m 1024 \
    -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 systemd.show_status=0 net.ifnames=0" \
    -drive file="$work/root.img",format=raw,if=virtio,cache=unsafe \
    -drive file="$work/payload.tar",format=raw,if=virtio,readonly=on \
    -nic user,model=virtio-net-pci,restrict=on \
    -serial file:"$work/console.log" \
    -parallel file:"$work/parallel-378.out" -parallel file:"$work/parallel-278.out" &
guest=$!
tail -n +1 -f --pid=$guest "$work/console.log" | while read -r line; do
    line=${line%$'\r'}
    case $line in
        CHECKS-START) say "guest up after $((SECONDS - begin)) s" ;;
        STEP*|INIT*) say "$line" ;;
    esac
done
status=0
wait $guest || status=$?

done_line=$(tr -d '\r' <"$work/console.log" | grep -a '^CHECKS-DONE' || true)
duration=$((SECONDS - begin))
if [ "$done_line" != "CHECKS-DONE 0" ]; then
    if [ -n "$done_line" ]; then
        echo "FAIL: $(echo "$done_line" | awk '{ print $2 }') of the guest's checks failed"
    else
        echo "FAIL: the checks did not finish (qemu exited with $status, 124 after $limit s); the console ends:"
        tail -n 30 "$work/console.log"
    fi
    echo "system test took $duration s"
    exit 1
fi
echo "PASS: the package's service runs as installed under systemd; system test took $duration s"
# For `make bench`: the last passing run's duration, against the goal for a
# 2-core machine once the root file system is cached.
printf '  %-44s %-22s %-12s %s\n' "Service system test (QEMU $accel, $(nproc) cores)" "$duration s" "<= 300 s" \
    "$([ "$duration" -le 300 ] && echo met || echo "not met")$cached" >"$work.duration"
