#!/bin/sh
# Runs a command in network, mount, UTS and PID namespaces of its own, so
# that a test may take port 111 and run its own daemons without touching the
# machine's: only loopback (and, with --lan, a veth pair with 192.0.2.1 on
# one end) exists in there, and every process in it ends with the command.
# The host name in there is bench-pc.
#   netns.sh [--lan] COMMAND [ARGS...]
# --lan starts a D-Bus system bus, rpcbind and avahi-daemon in there first.
# Exits 77 (skipped) where namespaces cannot be made or a tool is missing.
set -u
need() { for tool; do command -v "$tool" >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }; done; }

if [ "${RFSWITCH_NETNS:-}" != inside ]; then
    need unshare ip
    unshare --net --mount --uts --pid --fork --kill-child true 2>/dev/null ||
        { echo "no namespaces may be made here (needs root): skipped"; exit 77; }
    RFSWITCH_NETNS=inside exec unshare --net --mount --uts --pid --fork --kill-child sh "$0" "$@"
fi

ip link set lo up
hostname bench-pc
if [ "${1:-}" = --lan ]; then
    shift
    PATH=$PATH:/usr/sbin:/sbin
    need dbus-daemon rpcbind avahi-daemon
    # Avahi announces on a multicast link, which loopback is not.
    ip link add veth0 type veth peer name veth1 &&
        ip addr add 192.0.2.1/24 dev veth0 && ip link set veth0 up && ip link set veth1 up || exit 1
    # The daemons' sockets and pid files, in a /run of this namespace's own.
    mount -t tmpfs tmpfs /run && mkdir -p /run/dbus /run/avahi-daemon || exit 1
    config=/run/test-config
    mkdir -p "$config"
    # A system bus that lets everything through, and Avahi on the veth end only.
    printf '%s\n' '<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen><auth>EXTERNAL</auth>' \
        '<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy>' \
        '</busconfig>' >"$config/bus.conf"
    printf '[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=veth0\n[publish]\npublish-workstation=no\npublish-hinfo=no\n' \
        >"$config/avahi.conf"
    # Each returns once it serves (rpcbind and avahi-daemon as daemons).
    dbus-daemon --config-file="$config/bus.conf" --fork --nopidfile &&
        rpcbind &&
        avahi-daemon --file="$config/avahi.conf" --daemonize --no-drop-root --no-chroot --no-rlimits || exit 1
fi
"$@"
