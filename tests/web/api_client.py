"""The HTTP API and the LXI identification document of the program itself,
read with curl as a script would, each answer parsed and checked field by
field. Usage: api_client.py VERSION PROGRAM [ARGS...]"""
import os
import re
import socket
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

from web_program import NO_PORT, ask, curl, expect, serving

LXI = "{http://www.lxistandard.org/InstrumentIdentification/1.0}"
XSI = "{http://www.w3.org/2001/XMLSchema-instance}"


version, program = sys.argv[1], sys.argv[2:]
folder = tempfile.TemporaryDirectory()
log = os.path.join(folder.name, "operations.log")
with serving(program, "--simulate", "--log", log) as (scpi, url, hislip):
    code, document = curl(url + "lxi/identification")
    device = ElementTree.fromstring(document)
    expect("identification", (code, device.tag), (200, LXI + "LXIDevice"))
    # Every element the schema requires of a device and of its network
    # interface, in the schema's order, with what the system has for loopback.
    host = socket.gethostname()
    expect("identification's elements", [(e.tag.removeprefix(LXI), (e.text or "").strip()) for e in device.iter()][1:],
           [("Manufacturer", "rfswitch-panel"), ("Model", "QTR7-415KM"), ("SerialNumber", "0"), ("FirmwareRevision", version),
            ("ManufacturerDescription", "RF switch test board on a parallel port"), ("HomepageURL", url),
            ("UserDescription", f"QTR7-415KM on {host}"), ("IdentificationURL", url + "lxi/identification"), ("Interface", ""),
            ("InstrumentAddressString", f"TCPIP0::127.0.0.1::hislip0,{hislip}::INSTR"),
            ("InstrumentAddressString", "TCPIP0::127.0.0.1::inst0::INSTR"), ("InstrumentAddressString", f"TCPIP0::127.0.0.1::{scpi}::SOCKET"),
            ("Hostname", host), ("IPAddress", "127.0.0.1"), ("SubnetMask", "255.0.0.0"), ("MACAddress", "00:00:00:00:00:00"),
            ("Gateway", "0.0.0.0"), ("DHCPEnabled", "false"), ("AutoIPEnabled", "false"), ("LXIVersion", "1.5")])
    expect("the interface's attributes", device.find(LXI + "Interface").attrib,
           {XSI + "type": "NetworkInformation", "InterfaceType": "LXI", "IPType": "IPv4", "InterfaceName": "lo"})

    code, state = curl(url + "api/state", parse=True)
    expect("state and its status line", (code, state["model"], state["path"], state["bits"], state["port"], state["simulated"], state["lock"],
                                         state["colour"], state["status"].startswith("Port 4096 (0x1000): SIMULATED, no board is driven (")),
           (200, "QTR7-415KM", "off", {"c1": False, "c2": False}, NO_PORT, True, None, "#0000c0", True))

    code, answer = curl(url + "api/select", "-d", "rf1", parse=True)
    expect("select rf1", (code, answer["result"], answer["path"], answer["bits"]), (200, "verified", "rf1", {"c1": True, "c2": False}))
    expect("logged", bool(re.fullmatch(r"\d\d:\d\d:\d\d\.\d{3} remote:http:127\.0\.0\.1:\d+ port=4096 board=simulated "
                                      r"register=data\(4096\) wrote=0x01 read=0x01 attempts=1 result=verified", answer["operations"][-1])), True)

    # What a client sends forges no line of the log and steers no terminal.
    expect("a body with a line", curl(url + "api/select", "--data-binary", "rf9\n2026-01-01T00:00:00 forged\x1b[2J\\")[0], 400)
    expect("a SCPI line with an ESC", ask(scpi, "ROUT:CLOS (@2);*OPC?;\x1b[2J"), "1")
    head = "port=4096 board=simulated register=data(4096)"
    deadline = time.monotonic() + 10  # written once the server is done with the work in hand
    while open(log, encoding="utf-8").read().count("\n") < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    expect("the log", [re.sub(r"^\S+ |(?<=127\.0\.0\.1):\d+", "", line) for line in open(log, encoding="utf-8").read().split("\n")],
           [f"start-up {head} read=0x00 result=read", f"remote:http:127.0.0.1 {head} wrote=0x01 read=0x01 attempts=1 result=verified",
            'remote:http:127.0.0.1 port=4096 board=simulated select result=refused '
            '("rf9\\n2026-01-01T00:00:00 forged\\x1b[2J\\\\" is not rf1, rf2, off or a channel\'s label)',
            f"remote:127.0.0.1 {head} wrote=0x00 read=0x00 attempts=1 result=verified",
            f"remote:127.0.0.1 {head} wrote=0x02 read=0x02 attempts=1 result=verified", ""])

# Labels set over SCPI name channels for the API, its log lines and /metrics
# too; they are the board's, there after a restart.
state = os.path.join(folder.name, "state")
for restart in (False, True):
    with serving(program, "--simulate", "--state-dir", state) as (scpi, url, hislip):
        if not restart:
            expect("labels set", ask(scpi, 'ROUT:CHAN:LAB "ANT",(@2);LAB "load",(@1);:SYST:ERR?'), '0,"No error"')
        code, answer = curl(url + "api/select", "-d", "ant", parse=True)
        expect(f"select by label (restarted: {restart})", (code, answer["path"], answer["labels"], answer["operations"][-1].endswith(" label=ANT result=verified")),
               (200, "rf2", {"rf1": "load", "rf2": "ANT"}, True))
        code, answer = curl(url + "api/select", "-d", '{"path": "LOAD"}', parse=True)
        expect("select by label in JSON", (code, answer["path"]), (200, "rf1"))
        expect("a label in /metrics", [line for line in curl(url + "metrics")[1].splitlines() if line.startswith("rfswitch_channel_label{")],
               ['rfswitch_channel_label{channel="1",path="rf1",label="load"} 1', 'rfswitch_channel_label{channel="2",path="rf2",label="ANT"} 1'])
        expect("a label nobody set", curl(url + "api/select", "-d", '{"path": "DUT"}')[0], 400)

# Without --simulate nothing is written, with the SCPI error's meaning, and
# the page says why its buttons do not switch.
with serving(program) as (scpi, url, hislip):
    expect("why the page cannot switch", curl(url + "api/state", parse=True)[1]["refused"],
           "Only the simulated port is here: no board is driven, so switching from here is refused (the server's --simulate allows a dry run).")
    code, answer = curl(url + "api/select", "-d", "rf2", parse=True)
    expect("select without --simulate", (code, answer["error"]["code"], answer["error"]["message"], answer["path"]),
           (409, -241, f"Hardware missing; port {NO_PORT} (0x{NO_PORT:X}) is only simulated: no board is driven; --simulate allows a dry run", "off"))
print("the API and the identification document answered as expected")
