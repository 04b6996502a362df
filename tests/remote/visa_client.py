"""PyVISA (the pyvisa-py backend) drives the program's SCPI server as a bench
script would. Usage: visa_client.py VERSION PROGRAM [ARGS...]; exits 77
(skipped) where PyVISA is not installed."""
import subprocess
import sys

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend this test means)
except ImportError as error:
    print(f"PyVISA not available ({error}): skipped")
    sys.exit(77)

NO_PORT = 4096  # no machine has a parallel port there: the simulated one stands in


def run(program, steps):
    """Starts the program's server; each step is written, and a query's answer compared."""
    process = subprocess.Popen(program + ["--listen", "127.0.0.1:0", "--port", str(NO_PORT)], stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline().strip()
        if not line.startswith("listening on 127.0.0.1:"):
            sys.exit(f"expected 'listening on 127.0.0.1:PORT', got {line!r}")
        switch = pyvisa.ResourceManager("@py").open_resource(
            f"TCPIP0::127.0.0.1::{line.rsplit(':', 1)[1]}::SOCKET", read_termination="\n", write_termination="\n", timeout=10000)
        for command, answer in steps:
            if answer is None:
                switch.write(command)
            elif (got := switch.query(command)) != answer:
                sys.exit(f"{command[:40]!r}: expected {answer!r}, got {got!r}")
        switch.close()
    finally:
        process.terminate()
        process.wait()


version, program = sys.argv[1], sys.argv[2:]
run(program + ["--simulate"], [
    ("*IDN?", f"rfswitch-panel,QTR7-415KM,{NO_PORT},{version}"),
    ("SYST:PORT:SIM?;*TST?", "1;1"),
    ("ROUT:CLOS (@1)", None),
    ("ROUT:CLOS? (@1,2)", "1,0"),
    ("route:close (@2);*OPC?", "1"),
    ("ROUT:CLOS:STAT?", "(@2)"),
    ("ROUT:CLOS (@1,2)", None),
    ("*STB?;*ESR?;*ESR?", "4;16;0"),
    ("SYST:ERR?", '-221,"Settings conflict; RF1 and RF2 cannot be closed together"'),
    ("SYSTem:ERRor:NEXT?", '0,"No error"'),
    # A line longer than the server reads at once is dropped, the connection kept.
    ("ROUT:OPEN:ALL" + " " * 100000, None),
    ("*ESR?;SYST:ERR?;ROUT:CLOS:STAT?", '32;-102,"Syntax error; line longer than 4096 bytes discarded";(@2)'),
    ("FOO;*CLS;*STB?;SYST:ERR?", '0;0,"No error"'),
    ("*RST;*OPC?;ROUT:CLOS:STAT?", "1;(@)"),
])
# Without --simulate no script may believe it switched a board.
run(program, [
    ("ROUT:CLOS (@1)", None),
    ("SYST:ERR?;ROUT:CLOS:STAT?", f'-241,"Hardware missing; port {NO_PORT} (0x{NO_PORT:X}) is only simulated: no board is driven; --simulate allows a dry run";(@)'),
])
print("PyVISA drove the switch as expected")
