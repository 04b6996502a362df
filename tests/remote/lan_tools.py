"""lxi-tools finds and drives the switch as on a LAN: `lxi scpi` (VXI-11,
its default), `lxi discover` (the port mapper on each interface) and `lxi
discover --mdns` (DNS-SD through Avahi); once the program stops, neither
finds it, and rpcbind no longer holds it. Run by netns.sh --lan, with rpcbind and avahi-daemon.
Usage: lan_tools.py VERSION PROGRAM"""
import shutil
import subprocess
import sys

from program import Program

if not shutil.which("lxi") or not shutil.which("rpcinfo"):
    print("lxi-tools or rpcbind not installed: skipped")
    sys.exit(77)

version, program = sys.argv[1], sys.argv[2]
IDN = f"rfswitch-panel,QTR7-415KM,0,{version}"  # the serial stays whatever the port
# How often a withdrawn announcement is looked for: Avahi says goodbye
# within a second, and each look lasts two.
LOOKS = 5


def lxi(*arguments):
    return subprocess.run(["lxi", *arguments], capture_output=True, text=True, timeout=60).stdout


def rpcinfo():
    """What rpcbind holds (VXI-11's core channel is program 395183)."""
    return subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True, timeout=60).stdout


def expect(what, text, *parts):
    for part in parts:
        if part not in text:
            sys.exit(f"{what}: expected {part!r} in:\n{text}")


with Program([program, "--headless", "--listen", "0.0.0.0:5025", "--port", "4096", "--simulate"]) as server:
    for prefix, line in [
        ("VXI-11 on port", "TCPIP0::bench-pc::inst0::INSTR"),
        ("VXI-11: ", "VXI-11: registered with rpcbind"),
        ("HiSLIP on", "HiSLIP on 0.0.0.0:4880: TCPIP0::bench-pc::hislip0::INSTR"),
        ("raw socket", "raw socket: TCPIP0::bench-pc::5025::SOCKET"),
        ("DNS-SD", 'DNS-SD: announced as "QTR7-415KM on bench-pc" (_hislip._tcp, _scpi-raw._tcp, _vxi-11._tcp)'),
    ]:
        expect("the log", server.line(prefix), line)

    expect("rpcinfo", rpcinfo(), "395183    1   tcp")
    if (answer := lxi("scpi", "-a", "127.0.0.1", "*IDN?")) != IDN + "\n":
        sys.exit(f"lxi scpi: expected {IDN!r}, got {answer!r}")
    expect("lxi discover", lxi("discover", "-t", "1"),
           f'Found "{IDN}" on address 127.0.0.1', f'Found "{IDN}" on address 192.0.2.1')
    expect("lxi discover --mdns", lxi("discover", "--mdns", "-t", "2"),
           'Found "QTR7-415KM on bench-pc" on address 192.0.2.1\n    vxi-11 service on port 111',
           'Found "QTR7-415KM on bench-pc" on address 192.0.2.1\n    scpi-raw service on port 5025',
           'Found "QTR7-415KM on bench-pc" on address 192.0.2.1\n    hislip service on port 4880')

    if (code := server.stop()) != 0:
        sys.exit(f"the program exited with {code} when stopped")
    if "395183" in rpcinfo():
        sys.exit("the program is still registered with rpcbind after it stopped")
    expect("lxi discover after the stop", lxi("discover", "-t", "1"), "No devices found")
    if not any("No services found" in lxi("discover", "--mdns", "-t", "2") for _ in range(LOOKS)):
        sys.exit("lxi discover --mdns still finds the switch after it stopped")
print("lxi-tools found and drove the switch, and found nothing once it stopped")
