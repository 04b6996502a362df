"""Drives the program's SCPI server with PyVISA (the pyvisa-py backend), as a
test script on a bench would. Exits 77 where PyVISA is not installed.

Usage: visa_client.py VERSION PROGRAM [ARGS...]
The program is started twice with ARGS plus --listen 127.0.0.1:0, once with
--simulate and once without, and must print "listening on HOST:PORT".
"""
import subprocess
import sys

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend this test means)
except ImportError as error:
    print(f"PyVISA not available ({error}): skipped")
    sys.exit(77)

# An address where no machine has a parallel port: the simulated port stands in.
NO_PORT = "4096"


def start(args):
    process = subprocess.Popen(args + ["--listen", "127.0.0.1:0", "--port", NO_PORT],
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline().strip()
    if not line.startswith("listening on 127.0.0.1:"):
        process.kill()
        sys.exit(f"expected 'listening on 127.0.0.1:PORT', got {line!r}")
    return process, int(line.rsplit(":", 1)[1])


def open_switch(manager, port):
    switch = manager.open_resource(f"TCPIP0::127.0.0.1::{port}::SOCKET")
    switch.read_termination = "\n"
    switch.write_termination = "\n"
    switch.timeout = 10000
    return switch


def expect(switch, query, answer):
    got = switch.query(query)
    if got != answer:
        sys.exit(f"{query!r}: expected {answer!r}, got {got!r}")


def main():
    version, program = sys.argv[1], sys.argv[2:]
    manager = pyvisa.ResourceManager("@py")

    process, port = start(program + ["--simulate"])
    try:
        switch = open_switch(manager, port)
        expect(switch, "*IDN?", f"rfswitch-panel,QTR7-415KM,{NO_PORT},{version}")
        expect(switch, "SYST:PORT:SIM?;*TST?", "1;1")
        switch.write("ROUT:CLOS (@1)")
        expect(switch, "ROUT:CLOS? (@1,2)", "1,0")
        expect(switch, "route:close (@2);*OPC?", "1")
        expect(switch, "ROUT:CLOS:STAT?", "(@2)")
        switch.write("ROUT:CLOS (@1,2)")
        expect(switch, "*STB?", "4")
        expect(switch, "SYST:ERR?", '-221,"Settings conflict; RF1 and RF2 cannot be closed together"')
        expect(switch, "SYSTem:ERRor:NEXT?", '0,"No error"')
        expect(switch, "ROUT:CLOS:STAT?", "(@2)")
        expect(switch, "*RST;*OPC?;ROUT:CLOS:STAT?", "1;(@)")
        switch.close()
    finally:
        process.terminate()
        process.wait()

    # Without --simulate no script may believe it switched a board.
    process, port = start(program)
    try:
        switch = open_switch(manager, port)
        switch.write("ROUT:CLOS (@1)")
        expect(switch, "SYST:ERR?;ROUT:CLOS:STAT?",
               f'-241,"Hardware missing; no port at address {NO_PORT}, only the simulated one";(@)')
        switch.close()
    finally:
        process.terminate()
        process.wait()
    print("PyVISA drove the switch as expected")


main()
