"""PyVISA (the pyvisa-py backend) drives the program's SCPI server as a bench
script would. Usage: visa_client.py VERSION PROGRAM [ARGS...]; exits 77
(skipped) where PyVISA is not installed.

With --vanish as the first argument it checks instead that a client that
vanishes from the network frees its slot and its lock: the client sits in a
network namespace of its own, tied to the server's by a veth pair, all in a
namespace this test makes, so nothing leaves the machine. It needs root and
ip(8) (skipped without them)."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend this test means)
except ImportError as error:
    print(f"PyVISA not available ({error}): skipped")
    sys.exit(77)

NO_PORT = 4096  # no machine has a parallel port there: the simulated one stands in
TIMEOUT_MS = 10000


def start(program, args, env=None):
    """Starts the program's server; returns it and the port it listens on."""
    process = subprocess.Popen(program + ["--port", str(NO_PORT)] + args, stdout=subprocess.PIPE, text=True,
                               env=env)
    line = process.stdout.readline().strip()
    if " on " not in line:
        process.kill()
        sys.exit(f"expected 'listening on HOST:PORT', got {line!r}")
    return process, int(line.rsplit(":", 1)[1])


def connect(port, host="127.0.0.1"):
    return pyvisa.ResourceManager("@py").open_resource(
        f"TCPIP0::{host}::{port}::SOCKET", read_termination="\n", write_termination="\n", timeout=TIMEOUT_MS)


def check(switch, steps):
    """Each step is written, and a query's answer compared."""
    for command, answer in steps:
        if answer is None:
            switch.write(command)
        elif (got := switch.query(command)) != answer:
            sys.exit(f"{command[:40]!r}: expected {answer!r}, got {got!r}")


def run(program, args, steps):
    process, port = start(program, ["--listen", "127.0.0.1:0"] + args)
    try:
        switch = connect(port)
        check(switch, steps)
        switch.close()
    finally:
        process.terminate()
        process.wait()


def refused(port, host="127.0.0.1"):
    """The server turns a client away: nothing to read, the connection reset."""
    try:
        answer = connect(port, host).query("*IDN?")
    except (pyvisa.errors.VisaIOError, OSError):
        return
    sys.exit(f"a refused client read {answer!r}")


def eventually(port, command, answer, seconds, host="127.0.0.1"):
    """A new client asks until the answer comes (a slot or a lock frees up); the seconds it took."""
    begin = time.monotonic()
    while time.monotonic() - begin < seconds:
        try:
            if connect(port, host).query(command) == answer:
                return time.monotonic() - begin
        except (pyvisa.errors.VisaIOError, OSError):
            pass
        time.sleep(0.2)
    sys.exit(f"{command!r} never answered {answer!r} within {seconds} s")


def clients_and_locks(program, args):
    """Two scripts and the lock; eight clients and a ninth."""
    log = tempfile.NamedTemporaryFile(suffix=".log")
    process, port = start(program, ["--listen", "127.0.0.1:0", "--simulate", "--log", log.name] + args)
    try:
        a, b = connect(port), connect(port)
        check(a, [("SYST:LOCK:REQ?", "1"), ("ROUT:CLOS (@1);*OPC?", "1")])
        owner = a.query("SYST:LOCK:OWN?")
        check(b, [("SYST:LOCK:REQ?", "0"), ("SYST:LOCK:OWN?", owner), ("ROUT:CLOS (@2)", None), ("SYST:PORT 888", None),
                  ("ROUT:CLOS:STAT?;SYST:PORT?", f"(@1);{NO_PORT}"),
                  ("SYST:ERR:ALL?", f'-203,"Command protected; locked by {owner[1:-1]}",'
                                    f'-203,"Command protected; locked by {owner[1:-1]}"')])
        # The lock ends with its client's connection.
        a.close()
        eventually(port, "SYST:LOCK:OWN?", '"NONE"', 10)
        check(b, [("SYST:LOCK:REQ?;ROUT:CLOS (@2);ROUT:CLOS:STAT?", "1;(@2)")])
        others = [connect(port) for _ in range(7)]
        check(others[-1], [("*IDN?", f"rfswitch-panel,QTR7-415KM,0,{version}")])
        refused(port)
        others[0].close()
        eventually(port, "SYST:VERS?", "1999.0", 10)
    finally:
        process.terminate()
        process.wait()
    if "connect result=refused (8 clients are connected already)" not in open(log.name).read():
        sys.exit("the log does not record the refused ninth client")


def start_up(program, args):
    """A headless start reads the board and writes nothing; --reset clears it."""
    for reset in ([], ["--reset"]):
        log = tempfile.NamedTemporaryFile(suffix=".log")
        run(program, args + ["--simulate", "--log", log.name] + reset, [("ROUT:CLOS:STAT?", "(@)")])
        start = [line for line in open(log.name) if " start-up " in line]
        wrote = [line for line in start if " wrote=" in line]
        if not start or bool(wrote) != bool(reset):
            sys.exit(f"start-up with {reset or 'no --reset'} logged: {start}")


def vanish(program):
    """Re-runs itself in a network namespace of its own as the server's side."""
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("unshare"):
        print("needs root, ip and unshare: skipped")
        sys.exit(77)
    if os.environ.get("RFSWITCH_TEST_NAMESPACE") != "1":
        env = dict(os.environ, RFSWITCH_TEST_NAMESPACE="1")
        sys.exit(subprocess.call(["unshare", "--net", sys.executable] + sys.argv, env=env))
    client_ns = f"rfswitch-test-{os.getpid()}"
    ip = lambda *words: subprocess.run(["ip"] + list(words), check=True)  # noqa: E731
    ip("link", "set", "lo", "up")
    ip("netns", "add", client_ns)
    process = None
    try:
        ip("link", "add", "rfsw-server", "type", "veth", "peer", "name", "rfsw-client", "netns", client_ns)
        ip("addr", "add", "10.250.0.1/30", "dev", "rfsw-server")
        ip("link", "set", "rfsw-server", "up")
        ip("-n", client_ns, "addr", "add", "10.250.0.2/30", "dev", "rfsw-client")
        ip("-n", client_ns, "link", "set", "rfsw-client", "up")
        keepalive = 6
        process, port = start(program, ["--listen", "10.250.0.1:0", "--simulate"],
                              env=dict(os.environ, RFSWITCH_KEEPALIVE=str(keepalive)))
        # The client takes the lock, then its link goes down: it sends nothing
        # more, not even a close.
        client = subprocess.Popen(
            ["ip", "netns", "exec", client_ns, sys.executable, "-c",
             "import socket, sys, time\n"
             f"s = socket.create_connection(('10.250.0.1', {port}))\n"
             "s.sendall(b'SYST:LOCK:REQ?\\n'); print(s.recv(100).decode().strip(), flush=True); time.sleep(600)"],
            stdout=subprocess.PIPE, text=True)
        if client.stdout.readline().strip() != "1":
            sys.exit("the vanishing client did not get the lock")
        ip("-n", client_ns, "link", "set", "rfsw-client", "down")
        gone = time.monotonic()
        others = [connect(port, "10.250.0.1") for _ in range(7)]
        check(others[0], [("SYST:LOCK:REQ?", "0")])
        refused(port, "10.250.0.1")
        # Within the keepalive time and a little more, its slot and lock are free.
        took = eventually(port, "SYST:LOCK:REQ?", "1", 3 * keepalive, "10.250.0.1")
        print(f"the vanished client's slot and lock freed {time.monotonic() - gone:.1f} s after it vanished ({took:.1f} s of asking)")
        client.kill()
    finally:
        if process:
            process.terminate()
            process.wait()
        subprocess.run(["ip", "netns", "del", client_ns])


version, program = sys.argv[1], sys.argv[2:]
if program[0] == "--vanish":
    vanish(program[1:])
    sys.exit(0)
mode = [arg for arg in program if arg == "--headless"]
program = [arg for arg in program if arg != "--headless"]
run(program, mode + ["--simulate", "--serial", "SN-7"], [
    ("*IDN?", f"rfswitch-panel,QTR7-415KM,SN-7,{version}"),
    ("SYST:PORT:SIM?;*TST?", "1;1"),
    ("ROUT:CLOS (@1)", None),
    ("ROUT:CLOS? (@1,2)", "1,0"),
    ("route:close (@2);*OPC?", "1"),
    ("ROUT:CLOS:STAT?;ROUT:CLOS? (@2:1)", "(@2);1,0"),
    ("ROUT:CLOS (@1,2)", None),
    ("*STB?;*ESR?;*ESR?", "4;16;0"),
    ("SYST:ERR?", '-221,"Settings conflict; RF1 and RF2 cannot be closed together"'),
    ("SYSTem:ERRor:NEXT?", '0,"No error"'),
    # A line longer than the server reads at once is dropped, the connection kept.
    ("ROUT:OPEN:ALL" + " " * 100000, None),
    ("*ESR?;SYST:ERR?;ROUT:CLOS:STAT?", '32;-102,"Syntax error; line longer than 4096 bytes discarded";(@2)'),
    ("FOO;*CLS;*STB?;SYST:ERR?", '0;0,"No error"'),
    ("*RST;*OPC?;ROUT:CLOS:STAT?", "1;(@)"),
    # A test executive's set-up: the status registers, then a service request on an error.
    ("*CLS;*ESE 60;*SRE 48;STAT:PRES;STAT:QUES:ENAB 512;STAT:OPER:ENAB 256", None),
    ("*ESE?;*SRE?;STAT:QUES:ENAB?;STAT:OPER:ENAB?;STAT:QUES:COND?", "60;48;512;256;512"),
    ("*STB?", "0"),
    ("FOO", None),
    ("*STB?", "100"),
    ("*SRE 8;*STB?", "36"),
    ("ROUT:CLOS (@1);*OPC?;STAT:OPER?;STAT:OPER?", "1;256;0"),
    ("*CLS;*STB?;SYST:ERR:COUN?", "0;0"),
    # Strict addresses: nothing moves the switch to another port by accident.
    ('SYST:PORT 8"88', None),
    ("SYST:PORT 888abc;SYST:PORT 1e3;SYST:PORT \"8;88\";SYST:PORT?", str(NO_PORT)),
    ("SYST:ERR:ALL?", '-102,"Syntax error",-224,"Illegal parameter value; 888abc is no address: write it 888, #H378 or &H378",'
                      '-224,"Illegal parameter value; 1e3 is no address: write it 888, #H378 or &H378",'
                      '-224,"Illegal parameter value; not a port device: \'8;88\'; write e.g. \'/dev/parport1\'"'),
    (f"SYST:PORT #H{NO_PORT + 4:X};SYST:PORT?;SYST:ERR?", f'{NO_PORT + 4};0,"No error"'),
])
# Without --simulate no script may believe it switched a board.
run(program, mode, [
    ("ROUT:CLOS (@1)", None),
    ("SYST:ERR?;ROUT:CLOS:STAT?", f'-241,"Hardware missing; port {NO_PORT} (0x{NO_PORT:X}) is only simulated: no board is driven; --simulate allows a dry run";(@)'),
])
clients_and_locks(program, mode)
if mode:
    start_up(program, mode)
print("PyVISA drove the switch as expected")
