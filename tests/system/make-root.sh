#!/bin/sh
# Makes the Debian 12 root file system the service test boots: debootstrap
# from Debian's archive, with systemd as init and the tools the checks use
# inside the guest (avahi-browse, PyVISA). Apt's lists are kept, so that
# run-system-test.sh can add the package's dependencies to the root and apt
# in the guest can resolve them offline.
# Usage: make-root.sh ROOT   (as root; ROOT is made anew, whole or not at all)
set -eu
root=$1
part=$root.part
log=$root.log

[ "$(id -u)" = 0 ] || { echo "make-root.sh: debootstrap needs root"; exit 77; }
command -v debootstrap >/dev/null || { echo "make-root.sh: debootstrap is not installed"; exit 77; }

# What the checks run inside the guest; the package brings the rest.
tools=systemd-sysv,udev,dbus,libnss-systemd,kmod,avahi-utils,python3-pyvisa-py,procps

rm -rf "$part" && mkdir -p "$part"
echo "Making a Debian 12 root file system in $root (about 120 MB to fetch); output in $log"
: >"$log"
if ! debootstrap --variant=minbase --include="$tools" bookworm "$part" >>"$log" 2>&1; then
    echo "make-root.sh: debootstrap failed; see $log"; tail -n 5 "$log"; exit 1
fi
echo "Fetching Debian 12's package lists into the root; output in $log"
if ! chroot "$part" apt-get update >>"$log" 2>&1; then
    echo "make-root.sh: apt-get update failed; see $log"; exit 1
fi

# The guest: a name, a console on the serial port, nothing that wakes up
# apt on its own. run-system-test.sh adds its network and its checks.
echo rfswitch-guest >"$part/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 rfswitch-guest\n' >"$part/etc/hosts"
printf '/dev/vda / ext4 rw,errors=remount-ro 0 1\n' >"$part/etc/fstab"
chroot "$part" systemctl mask apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
    getty@tty1.service serial-getty@ttyS0.service >>"$log" 2>&1
chroot "$part" passwd -d root >>"$log" 2>&1

rm -rf "$root" && mv "$part" "$root"
echo "Root file system ready: $root ($(du -sh "$root" | cut -f1))"
