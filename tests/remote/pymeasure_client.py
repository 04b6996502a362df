# The PyMeasure instrument class the package ships, driving the program
# over the raw socket (...::SOCKET) and VXI-11 (...::INSTR) through PyMeasure
# and pyvisa-py, while a plain socket reads back what the switch says; and a
# plain socket back from a timeout as the README says. Run by netns.sh, where
# the program answers the port mapper itself.
# Usage: pymeasure_client.py MODULE_DIR PROGRAM; exits 77 where PyMeasure or
# pyvisa-py is missing.
import pathlib
import re
import socket
import sys
import tempfile

from program import NO_PORT, Program, ask, expect, need, refused

sys.path.insert(0, sys.argv[1])
pyvisa, _, driver = need("pyvisa", "pyvisa_py", "rfswitch_panel.pymeasure")
program = sys.argv[2]
RAW = 5025


def open_switch(resource):
    return driver.RFSwitchPanel(resource, visa_library="@py", timeout=10000)


def drive(resource):
    switch, other = open_switch(resource), open_switch(resource)
    expect(f"{resource}: the path at first", switch.path, "off")
    for path, closed in [("rf1", "(@1)"), ("RF2", "(@2)"), ("off", "(@)"), ("rf2", "(@2)")]:
        switch.path = path
        expect(f"{resource}: path = {path!r}, read by another client", ask(RAW, "ROUT:CLOS:STAT?"), closed)
        expect(f"{resource}: path after {path!r}", switch.path, path.lower())
    refused(f"{resource}: path = 'rf-3'", lambda: setattr(switch, "path", "rf-3"), ValueError)
    # A label the board has stands for its channel; one it has not is the switch's error.
    expect(f"{resource}: a label set", ask(RAW, 'ROUT:CHAN:LAB "ANT",(@1);:SYST:ERR?'), '0,"No error"')
    for path, closed in [("ANT", "(@1)"), ("off", "(@)"), ("ant", "(@1)")]:
        switch.path = path
        expect(f"{resource}: path = {path!r}, read by another client", ask(RAW, "ROUT:CLOS:STAT?"), closed)
    error = refused(f"{resource}: path = 'rf3'", lambda: setattr(switch, "path", "rf3"), driver.RFSwitchPanelError)
    expect(f"{resource}: a label nobody set", error.errors, [(-224, "Illegal parameter value; no channel is labelled 'rf3'")])
    switch.path = "rf2"

    expect(f"{resource}: lock()", switch.lock(), True)
    if resource.endswith("::SOCKET"):
        expect(f"{resource}: lock() while another holds it", other.lock(), False)
        error = refused(f"{resource}: a client without the lock", lambda: setattr(other, "path", "rf1"), driver.RFSwitchPanelError)
        expect(f"{resource}: the error of a client without the lock", error.errors[0][0], -203)
    else:
        # VXI-11 refuses every message of another link while one holds the
        # lock (device_locked_by_another_link), which VISA reports as an I/O error.
        for attempt in (other.lock, lambda: setattr(other, "path", "rf1")):
            refused(f"{resource}: another link while one held the lock", attempt, pyvisa.errors.VisaIOError)
    expect(f"{resource}: the path after a refused switch", ask(RAW, "ROUT:CLOS:STAT?"), "(@2)")
    switch.unlock()
    expect(f"{resource}: lock() once it was let go", other.lock(), True)
    other.unlock()
    switch.path = "off"
    for instrument in (switch, other):
        instrument.adapter.connection.close()


def settle_and_cycles(resource):
    switch = open_switch(resource)
    switch.settle_time = 0.02
    expect(f"{resource}: settle_time", switch.settle_time, 0.02)
    expect(f"{resource}: the settle time, read by another client", ask(RAW, "ROUT:SETT:TIME?"), "0.02")
    switch.settle_time = 0
    expect(f"{resource}: settle_time set back", switch.settle_time, 0.0)
    rf1, rf2 = switch.cycles
    for path in ("rf1", "rf2", "off"):
        switch.path = path
    expect(f"{resource}: cycles after closing each once", switch.cycles, (rf1 + 1, rf2 + 1))
    switch.adapter.connection.close()


def recovery(resource):
    """A settle time beyond the VISA timeout: the class waits for it, and
    after a timeout all the same, each property reads its own answer."""
    ask(RAW, "ROUT:SETT:TIME 1;*OPC?")
    switch = driver.RFSwitchPanel(resource, visa_library="@py", timeout=500)
    rf1, rf2 = switch.cycles
    switch.path = "rf1"
    switch.settle_time = 0
    ask(RAW, "ROUT:SETT:TIME 1;*OPC?")  # behind the class's back
    refused(f"{resource}: a switch that outlasts the timeout", lambda: setattr(switch, "path", "rf2"), pyvisa.errors.VisaIOError)
    expect(f"{resource}: path after a timeout", switch.path, "rf2")
    switch.path = "rf1"  # the timeout follows the settle time read after the timeout
    expect(f"{resource}: settle_time after a timeout", switch.settle_time, 1.0)
    expect(f"{resource}: cycles after a timeout", switch.cycles, (rf1 + 2, rf2 + 1))
    expect(f"{resource}: lock() after a timeout", switch.lock(), True)
    switch.unlock()
    switch.path = "off"
    switch.settle_time = 0
    switch.adapter.connection.close()


def plain_socket():
    """The README's recipe for a plain socket back from a timeout."""
    readme = (pathlib.Path(sys.argv[1]).parent / "README.md").read_text()
    recipe = {}
    exec(re.search(r"### Raw socket\n.*?```python\n(.*?)```", readme, re.S)[1], recipe)
    ask(RAW, "ROUT:SETT:TIME 1;*OPC?")
    with socket.create_connection(("127.0.0.1", RAW), timeout=0.5) as client:
        client.sendall(b"ROUT:CLOS (@2);*OPC?\n")
        refused("a plain socket: a switch that outlasts its timeout", lambda: client.recv(100), TimeoutError)
        recipe["resynchronise"](client)
        client.sendall(b"ROUT:CLOS:STAT?;:ROUT:SETT:TIME 0;*OPC?\n")
        expect("a plain socket: the answer after resynchronising", client.recv(100), b"(@2);1\n")


state = tempfile.TemporaryDirectory()  # the labels set here are this board's alone
with Program([program, "--headless", "--listen", f"0.0.0.0:{RAW}", "--port", str(NO_PORT), "--simulate", "--state-dir", state.name]) as server:
    server.line("VXI-11: ")  # the port mapper answers
    for resource in (f"TCPIP0::127.0.0.1::{RAW}::SOCKET", "TCPIP0::127.0.0.1::inst0::INSTR"):
        drive(resource)
        settle_and_cycles(resource)
        recovery(resource)
    plain_socket()
print("the PyMeasure class drove the switch over the raw socket and VXI-11, and recovered from timeouts")
