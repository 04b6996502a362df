#!/bin/sh
# The checks inside the Debian guest, run once at boot by guest-checks.service
# from what the host handed in (this script, guest_tools.py, the .deb). Each
# is a named step that passes or fails on its own and prints one line:
#   STEP ok   NAME (SECONDS s)
#   STEP FAIL NAME (SECONDS s): why
# and at the end "CHECKS-DONE FAILED", FAILED the number that failed.
here=/run/checks
unit=rfswitch-panel-remote
service=$unit.service
tools="python3 $here/guest_tools.py"
identity="rfswitch-panel,QTR7-415KM,0,$(cat $here/version)"
failures=0

step() {
    name=$1 begin=$(date +%s)
    shift
    if why=$("$@" 2>&1); then
        echo "STEP ok   $name ($(($(date +%s) - begin)) s)"
    else
        failures=$((failures + 1))
        echo "STEP FAIL $name ($(($(date +%s) - begin)) s): $(echo "$why" | tail -n 15 | sed '2,$s/^/    /')"
    fi
}

# Up to SECONDS for CONDITION (a command) to hold.
within() {
    deadline=$(($(date +%s) + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# The board's bits, read where the board is: C1 and C2, the two lowest bits
# of an emulated port's data register, at 888 unless named ("C1=1 C2=0" for RF1).
board() {
    data=$(dd if=/dev/port bs=1 skip=${1:-888} count=1 status=none | od -An -tu1 | tr -d ' \n')
    echo "C1=$((data & 1)) C2=$((data >> 1 & 1))"
}
# The kernel numbers the ports as it finds them: /dev/parportN of a base
# address, and the base address of /dev/parportN.
device_at() {
    for port in /proc/sys/dev/parport/parport*; do
        [ "$(cut -f 1 $port/base-addr)" = "$1" ] && echo /dev/${port##*/}
    done
}
base_of() { cut -f 1 /proc/sys/dev/parport/${1#/dev/}/base-addr; }
property() { systemctl show -p "$1" --value $service; }
answers() { $tools scpi '*IDN?' >/dev/null; }
# Up: answering, or given up on (failed, or restarted by systemd).
settled() { answers || [ "$(property ActiveState)" = failed ] || [ "$(property NRestarts)" != 0 ]; }
running() {
    state="$(property ActiveState)/$(property SubState), restarted $(property NRestarts) times"
    [ "$state" = "active/running, restarted 0 times" ] || { echo "the service is $state"; journalctl -u $unit -o cat -n 5 --no-pager; return 1; }
}
journal_since() { journalctl -u $unit -o cat --no-pager ${1:+--after-cursor="$1"}; }
cursor() { journalctl -u $unit -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p'; }
expect() {  # WHAT EXPECTED GOT
    [ "$3" = "$2" ] || { echo "$1: expected \"$2\", got \"$3\""; return 1; }
}

install_package() {
    # As a user installs a downloaded package: apt resolves its dependencies
    # and recommendations, here from the archives the test keeps in the root.
    apt install -y "$here"/rfswitch-panel_*.deb >"$here/apt-install.log" 2>&1 ||
        { tail -n 15 "$here/apt-install.log"; return 1; }
    for recommended in rpcbind avahi-daemon; do
        dpkg-query -W -f='${Status}' $recommended 2>/dev/null | grep -q 'install ok installed' ||
            { echo "apt did not install the recommended $recommended"; return 1; }
    done
    dpkg -L rfswitch-panel >"$here/package-files"
    # Serving the network, as the options file explains: DNS-SD announces
    # only what other machines can reach.
    sed -i -e 's/^LISTEN_OPTS=.*/LISTEN_OPTS="--listen 0.0.0.0:5025"/' \
           -e 's/^HTTP_OPTS=.*/HTTP_OPTS="--http 0.0.0.0:8080"/' /etc/default/$unit
}

enable_now() {
    systemctl enable --now --quiet $unit || return 1
    within 90 settled
    running
}

scpi_switches() {
    expect "*IDN?; ROUT:CLOS (@1);*OPC?; ROUT:CLOS:STAT?; SYST:ERR?" "$identity"'|1|(@1)|0,"No error"' \
        "$($tools scpi '*IDN?' 'ROUT:CLOS (@1);*OPC?' 'ROUT:CLOS:STAT?' 'SYST:ERR?' | paste -sd '|')"
}

board_shows_rf1() { expect "the emulated port's data register" "C1=1 C2=0" "$(board)"; }

vxi11_through_rpcbind() {
    # Registered with rpcbind, not answering the port mapper itself.
    told=$(journal_since | grep '^VXI-11')
    ! echo "$told" | grep -q 'no rpcbind' || { echo "$told"; return 1; }
    rpcinfo -p | grep -q ' 395183 ' || { echo "rpcbind has no VXI-11 registration:"; rpcinfo -p; echo "$told"; return 1; }
    expect "VXI-11 *IDN?; ROUT:CLOS (@1);*OPC?; ROUT:CLOS:STAT?" "$identity|1|(@1)" \
        "$($tools visa TCPIP0::127.0.0.1::inst0::INSTR '*IDN?' 'ROUT:CLOS (@1);*OPC?' 'ROUT:CLOS:STAT?' | paste -sd '|')"
}

web_state() {
    state=$($tools http http://127.0.0.1:8080/api/state) || { echo "$state"; return 1; }
    echo "$state" | grep -q '"path": "rf1"' && echo "$state" | grep -q '"reach": "real"' || { echo "/api/state: $state"; return 1; }
}

# Asked at the guest's own address, the identification reports its network
# card: QEMU's /24 and the MAC address the kernel has for the card, which
# the service reads over a netlink socket.
identification_names_the_nic() {
    address() { hostname -I | tr ' ' '\n' | grep -m 1 -E '^[0-9.]+$'; }
    within 30 address || { echo "eth0 has no IPv4 address: $(hostname -I)"; return 1; }
    document=$($tools http "http://$(address):8080/lxi/identification") || { echo "$document"; return 1; }
    expect "the identification's mask and MAC address" \
        "<SubnetMask>255.255.255.0</SubnetMask> <MACAddress>$(tr a-f A-F </sys/class/net/eth0/address)</MACAddress>" \
        "$(echo "$document" | grep -o '<\(SubnetMask\|MACAddress\)>[^<]*</[A-Za-z]*>' | paste -sd ' ')"
}

# As installed, a client that stays silent is let go, with its lock.
idle_timeout() {
    pid=$(property MainPID)
    expect "--idle-timeout of the running service" "--idle-timeout 300" \
        "$(tr '\0' '\n' </proc/$pid/cmdline | grep -A1 -x -- --idle-timeout | paste -sd ' ')"
}

avahi_lists() {
    listed() {
        found=$(avahi-browse --all --terminate --parsable --no-db-lookup 2>&1)
        for type in _scpi-raw._tcp _vxi-11._tcp _lxi._tcp _http._tcp; do
            echo "$found" | grep -q ";$type;" || return 1
        done
    }
    within 30 listed || { echo "avahi-browse lists:"; echo "$found"; journal_since | grep -i 'dns-sd\|warning'; return 1; }
}

journal_operations() {
    device=$(device_at 888)
    has_operation() { journal_since | grep -Eq "remote:127\.0\.0\.1:[0-9]+ port=888 board=real device=$device register=data\(888\) wrote=(0x[0-9a-f]{2}) read=\1 attempts=1 result=verified"; }
    within 10 has_operation || { echo "no operation line for ROUT:CLOS (@1); the journal ends:"; journalctl -o short --no-pager -n 12; return 1; }
}

restart_keeps_rf1() {
    mark=$(cursor)
    systemctl restart $unit || return 1
    within 90 settled
    running || return 1
    expect "ROUT:CLOS:STAT? and the port after the restart" "(@1) C1=1 C2=0" "$($tools scpi 'ROUT:CLOS:STAT?') $(board)" || return 1
    since=$(journal_since "$mark")
    echo "$since" | grep -Eq "start-up port=888 board=real device=$(device_at 888) register=data\(888\) read=0x[0-9a-f]{2} result=read" ||
        { echo "no start-up read in the journal:"; echo "$since" | tail -n 8; return 1; }
    ! echo "$since" | grep 'wrote=' || { echo "the restart wrote to the port"; return 1; }
}

killed_is_restarted() {
    before=$(property MainPID)
    mark=$(cursor)
    kill -9 "$before" || return 1
    restarted() { pid=$(property MainPID); [ "$pid" != 0 ] && [ "$pid" != "$before" ] && answers; }
    # Between the kill and the new start, systemd passes through inactive/dead
    # with result success; only failed is final.
    given_up() { [ "$(property ActiveState)" = failed ]; }
    deadline=$(($(date +%s) + 90))
    until restarted; do
        given_up && { echo "systemd did not restart it: $(property ActiveState)/$(property SubState), result $(property Result)"; return 1; }
        [ "$(date +%s)" -lt "$deadline" ] || { echo "not answering 90 s after kill -9: $(property ActiveState)/$(property SubState), result $(property Result)"; return 1; }
        sleep 0.2
    done
    expect "ROUT:CLOS:STAT? and the port after kill -9" "(@1) C1=1 C2=0" "$($tools scpi 'ROUT:CLOS:STAT?') $(board)" || return 1
    ! journal_since "$mark" | grep 'wrote=' || { echo "the restarted service wrote to the port"; return 1; }
}

# Runs CHECK with the options file's VARIABLE set to VALUE, and puts the
# file back as installed afterwards.
with_option() {  # VARIABLE VALUE CHECK
    defaults=/etc/default/$unit
    cp $defaults $here/default.saved || return 1
    sed -i "s|^$1=.*|$1=\"$2\"|" $defaults
    $3
    status=$?
    cp $here/default.saved $defaults
    return $status
}

# The options file's SWITCH_OPTS, honoured: a start with --power-on rf2
# switches the board there (break-before-make, from RF1), and systemctl
# stop with --on-stop off terminates all ports; both in the journal. The
# service stopped afterwards.
power_on_and_stop() { with_option SWITCH_OPTS "--power-on rf2 --on-stop off" policy_applied; }
policy_applied() {
    mark=$(cursor)
    systemctl restart $unit || return 1
    within 90 answers || { echo "not answering after the restart"; return 1; }
    expect "the port after a start with --power-on rf2" "C1=0 C2=1" "$(board)" || return 1
    systemctl stop $unit || return 1
    expect "the port after systemctl stop with --on-stop off" "C1=0 C2=0" "$(board)" || return 1
    # The data register's other bits stay as they were: the bytes are the board's.
    since=$(journal_since "$mark")
    device=$(device_at 888)
    written() { echo "$since" | grep -Ec " $1 port=888 board=real device=$device register=data\(888\) wrote=(0x[0-9a-f]{2}) read=\1 attempts=1 result=verified"; }
    expect "verified writes at start (break, then make), at the stop" "2 1" "$(written start-up) $(written stop)" ||
        { echo "$since" | tail -n 12; return 1; }
}

# Two boards behind the one service, on the guest's two ports (888 and
# 632, numbered by the kernel): one ROUT:CLOS (@101,202) switches board 1 on
# /dev/parport0 to RF1 and board 2 on /dev/parport1 to RF2, each a verified
# write, read back from the ports themselves. One board again afterwards.
two_boards() {
    with_option PORT_OPTS "--board /dev/parport0 --board bench=/dev/parport1" both_switched
    status=$?
    systemctl restart $unit && within 90 answers || { echo "not answering with one board again"; return 1; }
    return $status
}
both_switched() {
    mark=$(cursor)
    systemctl restart $unit || return 1
    within 90 answers || { echo "not answering with two boards"; journal_since "$mark" | tail -n 8; return 1; }
    expect "SYST:CDES? 2; ROUT:CLOS (@101,202);*OPC?; ROUT:CLOS:STAT?; SYST:ERR?" \
        '"QTR7-415KM bench on /dev/parport1"|1|(@101,202)|0,"No error"' \
        "$($tools scpi 'SYST:CDES? 2' 'ROUT:CLOS (@101,202);*OPC?' 'ROUT:CLOS:STAT?' 'SYST:ERR?' | paste -sd '|')" || return 1
    first=$(base_of /dev/parport0) second=$(base_of /dev/parport1)
    expect "the two ports' base addresses" "632 888" "$(printf '%s\n' $first $second | sort -n | xargs)" || return 1
    expect "the two ports' data registers" "parport0: C1=1 C2=0, parport1: C1=0 C2=1" \
        "parport0: $(board $first), parport1: $(board $second)" || return 1
    since=$(journal_since "$mark")
    # A board named by its device has its registers at 0, 1 and 2 of it.
    verified() { echo "$since" | grep -Eq "remote:127\.0\.0\.1:[0-9]+ port=$1 board=real device=$1 register=data\(0\) wrote=(0x[0-9a-f]{2}) read=\1 attempts=1 result=verified"; }
    verified /dev/parport0 && verified /dev/parport1 ||
        { echo "no verified write on each port in the journal:"; echo "$since" | tail -n 12; return 1; }
}

# As the service's own user, in its control group and its mount namespace:
# only the parallel port and the harmless pseudo-devices open. Nodes made
# here for /dev/port and the root disk, open to everyone, leave the device
# policy alone in the way.
only_the_port() {
    # Running whatever the steps before left of it.
    if [ "$(property MainPID)" = 0 ]; then
        systemctl reset-failed $service
        systemctl start $service && within 90 answers || { echo "the service does not start"; return 1; }
    fi
    pid=$(property MainPID)
    mknod -m 666 /dev/probe-port c 1 4 && mknod -m 666 /dev/probe-disk b $(cat /sys/block/vda/dev | tr : ' ') || return 1
    group=$(sed -n 's/^0:://p' /proc/$pid/cgroup)
    uid=$(awk '/^Uid:/ {print $2}' /proc/$pid/status)
    gid=$(awk '/^Gid:/ {print $2}' /proc/$pid/status)
    groups=$(awk '/^Groups:/ {$1 = ""; print}' /proc/$pid/status | xargs | tr ' ' ,)
    opened=$(sh -c "echo \$\$ >/sys/fs/cgroup$group/cgroup.procs && exec nsenter -t $pid -m \
        setpriv --reuid=$uid --regid=$gid --groups=${groups:-$gid} --inh-caps=-all --bounding-set=-all --no-new-privs \
        python3 $here/guest_tools.py devices")
    status=$?
    rm -f /dev/probe-port /dev/probe-disk
    [ $status = 0 ] || { echo "$opened"; return 1; }
    expect "what user $uid opens in /dev" "/dev/full /dev/null /dev/parport0 /dev/parport1 /dev/ptmx /dev/random /dev/urandom /dev/zero" \
        "$(echo "$opened" | sort | xargs)"
}

security_rating() {
    rating=$(systemd-analyze security --no-pager $service | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    echo "systemd-analyze security rates it ${rating:-nothing}"
    [ -n "$rating" ] && awk -v r="$rating" 'BEGIN { exit !(r <= 2.0) }'
}

remove_stops_and_disables() {
    apt remove -y rfswitch-panel >"$here/apt-remove.log" 2>&1 || { tail -n 15 "$here/apt-remove.log"; return 1; }
    [ "$(property ActiveState)" != active ] || { echo "still active after removal"; return 1; }
    ! pgrep -x rfswitch-panel || { echo "rfswitch-panel still runs"; return 1; }
    link=/etc/systemd/system/multi-user.target.wants/$service
    ! [ -L $link ] || { echo "removal leaves $link"; return 1; }
    [ -f /etc/default/$unit ] || { echo "removal took the admin's options file"; return 1; }
}

purge_leaves_nothing() {
    apt purge -y rfswitch-panel >"$here/apt-purge.log" 2>&1 || { tail -n 15 "$here/apt-purge.log"; return 1; }
    left=$(while read -r path; do [ -d "$path" ] || ! [ -e "$path" ] || echo "$path"; done <"$here/package-files")
    left="$left$(find / /run -xdev \( -path /proc -o -path /sys -o -path $here -o -path /var/cache/apt \) -prune \
        -o -name '*rfswitch*' -print)"
    [ -z "$left" ] || { echo "purge leaves:"; echo "$left"; return 1; }
}

echo "CHECKS-START"
step "install the package with apt" install_package
step "systemctl enable --now: active" enable_now
step "SCPI *IDN? and ROUT:CLOS (@1);*OPC?" scpi_switches
step "the emulated port shows RF1" board_shows_rf1
step "VXI-11 through rpcbind (PyVISA inst0)" vxi11_through_rpcbind
step "web page /api/state" web_state
step "LXI identification: eth0's mask and MAC address" identification_names_the_nic
step "the service runs with --idle-timeout 300" idle_timeout
step "avahi-browse lists the services" avahi_lists
step "journal holds the operation lines" journal_operations
step "systemctl restart keeps RF1, writes nothing" restart_keeps_rf1
step "kill -9: restarted, path kept" killed_is_restarted
step "SWITCH_OPTS: power-on rf2, stop terminates all" power_on_and_stop
step "two boards: ROUT:CLOS (@101,202) on parport0 and parport1" two_boards
step "its user opens the parallel ports and nothing else" only_the_port
step "systemd-analyze security <= 2.0" security_rating
step "apt remove stops and disables it" remove_stops_and_disables
step "apt purge leaves no file of it" purge_leaves_nothing
echo "CHECKS-DONE $failures"
