# lxi-tools finds and drives the switch as on a LAN: `lxi scpi` (VXI-11,
# its default), `lxi discover` (the port mapper on each interface) and `lxi
# discover --mdns` (DNS-SD through Avahi); every service's TXT records as
# Avahi sends them, in order; the identification document gives the
# interface's gateway, DHCP and auto-IP as the system has them; once the
# program stops, neither finds it, and rpcbind no longer holds it. Run by
# netns.sh --lan, with rpcbind and avahi-daemon.
# Usage: lan_tools.py VERSION PROGRAM
import shutil
import socket
import struct
import subprocess
import sys
import urllib.request
import xml.etree.ElementTree as ElementTree

from program import NO_PORT, Program, expect

if not all(map(shutil.which, ("lxi", "rpcinfo"))):
    print("lxi-tools or rpcbind not installed: skipped")
    sys.exit(77)

version, program = sys.argv[1], sys.argv[2]
SERIAL = "LAN-7"
IDN = f"rfswitch-panel,QTR7-415KM,{SERIAL},{version}"
SERVICES = ["_hislip._tcp", "_scpi-raw._tcp", "_vxi-11._tcp", "_http._tcp", "_lxi._tcp"]
TXT = ["txtvers=1", "Manufacturer=rfswitch-panel", "Model=QTR7-415KM", f"SerialNumber={SERIAL}", f"FirmwareVersion={version}"]
LXI = {"": "http://www.lxistandard.org/InstrumentIdentification/1.0"}
# How often a withdrawn announcement is looked for: Avahi says goodbye
# within a second, and each look lasts two.
LOOKS = 5


def run(*command):
    """What `command` prints."""
    return subprocess.run(command, capture_output=True, text=True, timeout=60).stdout


def lxi(*arguments):
    return run("lxi", *arguments)


def txt_records(service):
    """The TXT records of the switch's `service` in the order Avahi sends them: its answer to a plain DNS query sent to
    its port, which comes straight back (avahi-browse prints them reversed)."""
    labels = [label.encode() for label in ("QTR7-415KM on bench-pc", *service.split("."), "local")]
    question = b"".join(bytes([len(label)]) + label for label in labels) + b"\0" + struct.pack(">HH", 16, 1)  # TXT, IN
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as query:
        query.settimeout(10)
        query.sendto(struct.pack(">6H", 7, 0, 1, 0, 0, 0) + question, ("192.0.2.1", 5353))
        answer = query.recv(9000)
    # Past the header, the question echoed, and the answer's name (a pointer), type, class and TTL: the data's length,
    # then each string after its length byte.
    start = 12 + len(question) + 10
    text, records = answer[start + 2:start + 2 + struct.unpack_from(">H", answer, start)[0]], []
    while text:
        records.append(text[1:1 + text[0]].decode())
        text = text[1 + text[0]:]
    return records


def identification(host):
    """The interface's address, mask, gateway, DHCP, auto-IP and name in the identification document read at `host`."""
    with urllib.request.urlopen(f"http://{host}:8080/lxi/identification", timeout=30) as answer:
        card = ElementTree.fromstring(answer.read()).find("Interface", LXI)
    return [card.findtext(element, namespaces=LXI) for element in
            ("IPAddress", "SubnetMask", "Gateway", "DHCPEnabled", "AutoIPEnabled")] + [card.get("InterfaceName")]


def contains(what, text, *parts):
    if missing := [part for part in parts if part not in text]:
        sys.exit(f"{what}: expected {missing[0]!r} in:\n{text}")


with Program([program, "--headless", "--listen", "0.0.0.0:5025", "--http", "0.0.0.0:8080", "--serial", SERIAL, "--port",
              str(NO_PORT), "--simulate"]) as server:
    for prefix, line in [
        ("VXI-11: ", "VXI-11: registered with rpcbind"),
        ("HiSLIP on", "HiSLIP on 0.0.0.0:4880: TCPIP0::bench-pc::hislip0::INSTR"),
        ("raw socket", "raw socket: TCPIP0::bench-pc::5025::SOCKET"),
        ("DNS-SD", f'DNS-SD: announced as "QTR7-415KM on bench-pc" ({", ".join(SERVICES)})'),
    ]:
        contains("the log", server.line(prefix), line)

    # What rpcbind holds: VXI-11's core channel is program 395183.
    contains("rpcinfo", run("rpcinfo", "-p", "127.0.0.1"), "395183    1   tcp")
    expect("lxi scpi", lxi("scpi", "-a", "127.0.0.1", "*IDN?"), IDN + "\n")
    contains("lxi discover", lxi("discover", "-t", "1"),
           f'Found "{IDN}" on address 127.0.0.1', f'Found "{IDN}" on address 192.0.2.1')
    contains("lxi discover --mdns", lxi("discover", "--mdns", "-t", "2"),
           'Found "QTR7-415KM on bench-pc" on address 192.0.2.1\n    vxi-11 service on port 111',
           'Found "QTR7-415KM on bench-pc" on address 192.0.2.1\n    scpi-raw service on port 5025',
           'Found "QTR7-415KM on bench-pc" on address 192.0.2.1\n    hislip service on port 4880')
    # On the wire: each key once, txtvers first, the serial number on every service.
    for service in SERVICES:
        expect(f"TXT records of {service}", txt_records(service), TXT + (["path=/"] if service == "_http._tcp" else []))

    # A default route, an address leased for an hour as DHCP clients set
    # them, and a link-local one as auto-IP gives it.
    for command in (["route", "add", "default", "via", "192.0.2.254", "dev", "veth0"],
                    ["addr", "add", "192.0.2.2/24", "dev", "veth0", "valid_lft", "3600", "preferred_lft", "3600"],
                    ["addr", "add", "169.254.7.7/16", "dev", "veth0"]):
        subprocess.run(["ip", *command], check=True)
    for wanted in [["192.0.2.1", "255.255.255.0", "192.0.2.254", "false", "true", "veth0"],
                   ["192.0.2.2", "255.255.255.0", "192.0.2.254", "true", "true", "veth0"],
                   ["127.0.0.1", "255.0.0.0", "0.0.0.0", "false", "false", "lo"]]:
        expect("identification", identification(wanted[0]), wanted)

    expect("the exit code when stopped", server.stop(), 0)
    if "395183" in run("rpcinfo", "-p", "127.0.0.1"):
        sys.exit("the program is still registered with rpcbind after it stopped")
    contains("lxi discover after the stop", lxi("discover", "-t", "1"), "No devices found")
    if not any("No services found" in lxi("discover", "--mdns", "-t", "2") for _ in range(LOOKS)):
        sys.exit("lxi discover --mdns still finds the switch after it stopped")
print("lxi-tools found and drove the switch, and found nothing once it stopped")
