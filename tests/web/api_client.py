"""The HTTP API and the LXI identification document of the program itself,
read with curl as a script would, each answer parsed and checked field by
field. Usage: api_client.py VERSION PROGRAM [ARGS...]"""
import contextlib
import json
import re
import socket
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

NO_PORT = 4096  # no machine has a parallel port there: the simulated one stands in
LXI = {"": "http://www.lxistandard.org/InstrumentIdentification/1.0"}


def expect(what, got, wanted):
    if got != wanted:
        sys.exit(f"{what}: expected {wanted!r}, got {got!r}")


def curl(url, *options):
    """The status code and the body."""
    out = subprocess.run(["curl", "-sS", "-w", "\n%{http_code}", *options, url], capture_output=True, text=True, check=True).stdout
    body, _, code = out.rpartition("\n")
    return int(code), body


@contextlib.contextmanager
def serving(program, *options):
    """The SCPI port, the page's URL and HiSLIP's port of the program, headless, while it runs."""
    process = subprocess.Popen([*program, "--headless", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--port", str(NO_PORT), *options],
                               stdout=subprocess.PIPE, text=True)
    try:
        said = {}
        while len(said) < 3:  # among the lines saying how the switch is reached
            line = process.stdout.readline()
            for start in ("listening on ", "web page on ", "HiSLIP on "):
                if line.startswith(start):
                    said[start] = line[len(start):].strip()
        yield (said["listening on "].rsplit(":", 1)[1], said["web page on "],
               said["HiSLIP on "].split(":")[1])
    finally:
        process.terminate()
        process.wait()


version, program = sys.argv[1], sys.argv[2:]
with serving(program, "--simulate") as (scpi, url, hislip):
    code, document = curl(url + "lxi/identification")
    device = ElementTree.fromstring(document)
    expect("identification", (code, device.tag), (200, "{%s}LXIDevice" % LXI[""]))
    for field, wanted in [("Manufacturer", "rfswitch-panel"), ("Model", "QTR7-415KM"), ("SerialNumber", "0"), ("FirmwareRevision", version),
                          ("IdentificationURL", url + "lxi/identification"),
                          ("Interface/Hostname", socket.gethostname()), ("Interface/IPAddress", "127.0.0.1")]:
        expect(field, device.findtext(field, namespaces=LXI), wanted)
    expect("Interface/InstrumentAddressString", [e.text for e in device.findall("Interface/InstrumentAddressString", LXI)],
           [f"TCPIP0::127.0.0.1::hislip0,{hislip}::INSTR", "TCPIP0::127.0.0.1::inst0::INSTR",
            f"TCPIP0::127.0.0.1::{scpi}::SOCKET"])

    code, state = curl(url + "api/state")
    state = json.loads(state)
    expect("state", (code, state["path"], state["bits"], state["port"], state["simulated"], state["lock"], state["colour"]),
           (200, "off", {"c1": False, "c2": False}, NO_PORT, True, None, "#0000c0"))
    expect("status line", state["status"].startswith("Port 4096 (0x1000): SIMULATED, no board is driven ("), True)

    code, answer = curl(url + "api/select", "-d", "rf1")
    answer = json.loads(answer)
    expect("select rf1", (code, answer["result"], answer["path"], answer["bits"]), (200, "verified", "rf1", {"c1": True, "c2": False}))
    expect("logged", bool(re.fullmatch(r"\d\d:\d\d:\d\d\.\d{3} remote:http:127\.0\.0\.1:\d+ port=4096 board=simulated "
                                      r"register=data\(4096\) wrote=0x01 read=0x01 attempts=1 result=verified", answer["operations"][-1])), True)

# Without --simulate nothing is written, with the SCPI error's meaning.
with serving(program) as (scpi, url, hislip):
    code, answer = curl(url + "api/select", "-d", "rf2")
    answer = json.loads(answer)
    expect("select without --simulate", (code, answer["error"]["code"], answer["error"]["message"], answer["path"]),
           (409, -241, f"Hardware missing; port {NO_PORT} (0x{NO_PORT:X}) is only simulated: no board is driven; --simulate allows a dry run", "off"))
print("the API and the identification document answered as expected")
