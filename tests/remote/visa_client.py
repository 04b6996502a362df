# PyVISA (the pyvisa-py backend) drives the program's SCPI server as a bench
# script would, the panel's (offscreen) or the headless one's: what the
# program makes of its options, a line longer than the server reads at once,
# a lock that ends with its client's connection, a fifth client of one address turned away
# and logged, and no switching without --simulate.
# Usage: visa_client.py VERSION PROGRAM [--headless]; exits 77 (skipped)
# where PyVISA is not installed.
import sys
import tempfile
import time

from program import NO_PORT, Program, expect, need, refused

pyvisa, _ = need("pyvisa", "pyvisa_py")
version, program, mode = sys.argv[1], sys.argv[2], sys.argv[3:]


def serve(*options):
    return Program([program, *mode, "--port", str(NO_PORT), "--listen", "127.0.0.1:0", *options])


def connect(port):
    return pyvisa.ResourceManager("@py").open_resource(
        f"TCPIP0::127.0.0.1::{port}::SOCKET", read_termination="\n", write_termination="\n", timeout=10000)


def check(switch, steps):
    """Each step is written, and a query's answer compared."""
    for command, answer in steps:
        if answer is None:
            switch.write(command)
        else:
            expect(command[:40], switch.query(command), answer)


def eventually(port, command, answer):
    """A new client asks until the answer comes (a lock frees up)."""
    for _ in range(50):
        try:
            if connect(port).query(command) == answer:
                return
        except (pyvisa.errors.VisaIOError, OSError):
            pass
        time.sleep(0.2)
    sys.exit(f"{command!r} never answered {answer!r} within 10 s")


log = tempfile.NamedTemporaryFile(suffix=".log")
with serve("--simulate", "--serial", "SN-7", "--log", log.name) as server:
    port = server.port("listening on")
    a, b = connect(port), connect(port)
    check(a, [
        ("*IDN?", f"rfswitch-panel,QTR7-415KM,SN-7,{version}"),
        ("SYST:PORT:SIM?;*TST?", "1;1"),
        ("route:close (@2);*OPC?;ROUT:CLOS:STAT?", "1;(@2)"),
        # A line longer than the server reads at once is dropped, the connection kept.
        ("ROUT:OPEN:ALL" + " " * 100000, None),
        ("*ESR?;SYST:ERR?;ROUT:CLOS:STAT?", '32;-102,"Syntax error; line longer than 4096 bytes discarded";(@2)'),
        ("SYST:LOCK:REQ?", "1"),
    ])
    check(b, [("SYST:LOCK:REQ?;ROUT:CLOS (@1);ROUT:CLOS:STAT?", "0;(@2)")])
    # The lock ends with its client's connection.
    a.close()
    eventually(port, "SYST:LOCK:OWN?", '"NONE"')
    others = [connect(port) for _ in range(3)]
    refused("a fifth client from one address", lambda: connect(port).query("*IDN?"), pyvisa.errors.VisaIOError, OSError)
    expect("the exit code", server.stop(), 0)
if "connect result=refused (4 connections from 127.0.0.1 already, as many as one peer may hold)" not in open(log.name).read():
    sys.exit("the log does not record the refused fifth client")

# Without --simulate no script may believe it switched a board.
with serve() as server:
    check(connect(server.port("listening on")), [
        ("ROUT:CLOS (@1)", None),
        ("SYST:ERR?;ROUT:CLOS:STAT?", f'-241,"Hardware missing; port {NO_PORT} (0x{NO_PORT:X}) is only simulated: no board is driven; '
                                      '--simulate allows a dry run";(@)'),
    ])
print("PyVISA drove the switch as expected")
