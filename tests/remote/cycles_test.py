# Relay cycle counters in the program itself, headless on the simulated
# port: every kind of client's switching counted in one file of the state
# folder; the counts and the limit surviving kill -9 and SIGTERM; the limit's
# warning over SCPI, the web API and /metrics; a state folder that is read
# only: said once, switching goes on; saved setups and labels across a
# restart, with setup files that do not read; processes killed with SIGKILL at random
# points while they switch and write: never half a file.
# Usage: cycles_test.py PROGRAM HISLIP_CLIENT_DIR
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import urllib.request

from program import NO_PORT, Program, ask, expect

program = sys.argv[1]
sys.path.insert(0, sys.argv[2])
from hislip_client import Session  # noqa: E402

FILE = "relay-cycles-4096-simulated.txt"
TIMEOUT = 20  # seconds for anything the program is to do


class Server(Program):
    """The program headless with every server on a free port of loopback, its stderr in a file."""

    def __init__(self, state, runtime, wrap=(), web_only=False, log=None):
        self.errors = tempfile.TemporaryFile()
        servers = ["--http", "127.0.0.1:0"] + ([] if web_only else ["--listen", "127.0.0.1:0", "--no-vxi11"])
        super().__init__([*wrap, program, "--headless", *servers, "--port", str(NO_PORT), "--simulate", "--state-dir", state,
                          *(["--log", log] if log else [])], stderr=self.errors, env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        self.url = self.line("web page on ").split()[-1]
        if not web_only:
            self.raw, self.hislip = self.port("listening on "), self.port("HiSLIP on ")

    def scpi(self, line):
        return ask(self.raw, line, timeout=TIMEOUT)

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=TIMEOUT) as reply:
            return reply.read().decode()

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read().decode()


def switch(server, runtime, client, path):
    """One switch to `path` (rf1, rf2, off) by a client of the given kind."""
    command = {"rf1": "ROUT:CLOS (@1)", "rf2": "ROUT:CLOS (@2)", "off": "ROUT:OPEN:ALL"}[path] + ";*OPC?;:SYST:ERR?"
    if client in ("scpi", "hislip"):
        session = Session("127.0.0.1", server.hislip, []) if client == "hislip" else None
        expect(f"{client} {path}", session.query(command) if session else server.scpi(command), '1;0,"No error"')
        session and session.close()
    elif client == "web":
        request = urllib.request.Request(server.url + "api/select", data=path.encode(), method="POST")
        with urllib.request.urlopen(request, timeout=TIMEOUT) as reply:
            expect(f"web {path}", json.load(reply)["path"], path)
    elif client == "command-line":
        # Handed over to the server, which owns the port.
        done = subprocess.run([program, "--select", path, "--port", str(NO_PORT), "--simulate"], capture_output=True, text=True,
                              timeout=TIMEOUT, env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        expect(f"--select {path}: exit code ({done.stderr})", done.returncode, 0)


def kept(state):
    """The file's counts, without its comment: "rf1 2 rf2 1 limit 0"."""
    try:
        with open(os.path.join(state, FILE)) as file:
            return " ".join(line.strip() for line in file if line.strip() and not line.startswith("#"))
    except FileNotFoundError:
        return "(none)"


def until_kept(state, wanted):
    """Polls the file until it holds `wanted`: the program writes at most once a second."""
    deadline = time.monotonic() + TIMEOUT
    while (got := kept(state)) != wanted:
        if time.monotonic() > deadline:
            sys.exit(f"the state file: expected {wanted!r}, still {got!r}")
        time.sleep(0.02)


# Each kind of client in turn; the file after each switch.
STEPS = [
    ("scpi", "rf1", "rf1 1 rf2 0 limit 0"),
    ("hislip", "rf2", "rf1 1 rf2 1 limit 0"),
    ("web", "rf1", "rf1 2 rf2 1 limit 0"),
    ("command-line", "rf2", "rf1 2 rf2 2 limit 0"),
    ("scpi", "rf2", "rf1 2 rf2 2 limit 0"),  # already there: nothing closed
    ("web", "off", "rf1 2 rf2 2 limit 0"),
    ("hislip", "rf1", "rf1 3 rf2 2 limit 0"),
]

WARNING = "Relay cycles: RF1 has closed 3 times, the limit set is 3: replace the switch, then clear its counts."


def counted_and_kept(folder):
    state, runtime = os.path.join(folder, "state"), os.path.join(folder, "run")
    os.makedirs(runtime, mode=0o700)
    with Server(state, runtime) as server:
        expect("a new board's counts", server.scpi("DIAG:REL:CYCL? (@1,2);DIAG:REL:CYCL:LIM?"), "0,0;0")
        for client, path, file in STEPS:
            switch(server, runtime, client, path)
            until_kept(state, file)
        server.process.kill()  # kill -9: nothing more is written
        server.process.wait()

    with Server(state, runtime) as server:
        expect("the counts after kill -9", server.scpi("DIAG:REL:CYCL? (@1,2)"), "3,2")
        expect("no warning below the limit", json.loads(server.get("api/state"))["cycles"], {"rf1": 3, "rf2": 2, "limit": None, "warning": None})
        expect("the limit set", server.scpi("DIAG:REL:CYCL:LIM 3;STAT:QUES:COND?;STAT:QUES?;:SYST:ERR?"), '2560;2560;0,"No error"')  # 512: only simulated
        state_json = json.loads(server.get("api/state"))
        expect("the web API's cycles and status line at the limit", [state_json["cycles"], state_json["status"].split("\n")[-1]],
               [{"rf1": 3, "rf2": 2, "limit": 3, "warning": WARNING}, WARNING])
        expect("lines missing from /metrics", sorted({'rfswitch_relay_cycles_total{channel="1",path="rf1"} 3', "rfswitch_relay_cycles_limit 3",
               'rfswitch_relay_cycles_total{channel="2",path="rf2"} 2'} - set(server.get("metrics").splitlines())), [])
        expect("the exit code after SIGTERM", server.stop(), 0)

    # Two closures at once: the second waits for the second to pass, and
    # SIGTERM writes it on the way out (here with no server but the page's).
    with Server(state, runtime, web_only=True) as server:
        switch(server, runtime, "web", "rf2")
        switch(server, runtime, "web", "rf1")
        expect("the exit code after SIGTERM", server.stop(), 0)
        expect("the file after SIGTERM", kept(state), "rf1 4 rf2 3 limit 3")
        expect("nothing said on stderr", server.stderr(), "")

    with Server(state, runtime) as server:
        expect("the counts and the limit after SIGTERM", server.scpi("DIAG:REL:CYCL? (@2,1);DIAG:REL:CYCL:LIM?;STAT:QUES:COND?"),
               "3,4;3;2560")
        expect("cleared", server.scpi("DIAG:REL:CYCL:CLE (@1);DIAG:REL:CYCL? (@1,2);STAT:QUES:COND?"), "0,3;2560")
        expect("cleared both", server.scpi("DIAG:REL:CYCL:CLE (@1,2);STAT:QUES:COND?"), "512")
        until_kept(state, "rf1 0 rf2 0 limit 3")


def read_only_mount():
    """How to start the program with its state folder read only: mounted so in a mount namespace
    of its own (root), or by its mode (anyone else)."""
    if os.geteuid() != 0:
        return lambda state: (os.chmod(state, 0o555), ())[1]
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    if probe.returncode != 0:
        print(f"no mount namespace here ({probe.stderr.decode().strip()}): skipped")
        sys.exit(77)
    return lambda state: ("unshare", "--mount", "--propagation", "private", "sh", "-c",
                          f'mount --bind "{state}" "{state}" && mount -o remount,bind,ro "{state}" && exec "$0" "$@"')


def read_only(folder):
    """A folder nothing can be written to: said once, on stderr and in the log."""
    mount = read_only_mount()
    state, runtime = os.path.join(folder, "read-only"), os.path.join(folder, "run-ro")
    os.makedirs(state), os.makedirs(runtime, mode=0o700)
    with open(os.path.join(state, FILE), "w") as file:
        file.write("rf1 7\nrf2 0\nlimit 0\n")
    log = os.path.join(folder, "operations.log")
    with Server(state, runtime, mount(state), log=log) as server:
        for path in ("rf1", "rf2", "rf1", "rf2"):
            switch(server, runtime, "scpi", path)
        expect("switching in a read-only folder", server.scpi("ROUT:CLOS:STAT?;DIAG:REL:CYCL? (@1,2)"), "(@2);9,2")
        expect("the exit code", server.stop(), 0)
        said = [line for line in server.stderr().splitlines() if "relay cycles" in line]
        if len(said) != 1 or not said[0].startswith(f"rfswitch-panel: warning: relay cycles: {state}/{FILE}: cannot be written: ") \
                or not said[0].endswith("; the counts are kept in memory until it can"):
            sys.exit(f"stderr said {said!r}")
    with open(log) as file:
        logged = [line.split(" ", 1)[1].rstrip("\n") for line in file if "relay cycles" in line]
    expect("what the log says of the folder", logged, [said[0].removeprefix("rfswitch-panel: ")])
    expect("the read-only file, untouched", kept(state), "rf1 7 rf2 0 limit 0")


def saved_setups(folder):
    """*SAV and *RCL across a restart, SYST:POS recalling at start; a setup file that does not read, a link in its place
    and a read-only state folder: each said with the file's name, and switching goes on."""
    state, runtime = os.path.join(folder, "setups"), os.path.join(folder, "run-setups")
    os.makedirs(runtime, mode=0o700)
    name = "setup-3-4096-simulated.txt"
    setup = os.path.join(state, name)
    with Server(state, runtime) as server:
        expect("saved", server.scpi('ROUT:CLOS (@2);:ROUT:SETT:TIME 0.02;:ROUT:CHAN:LAB "ANT",(@2);:DIAG:REL:CYCL:LIM 9;*SAV 3;'
                                    ':SYST:POS RCL3;:ROUT:OPEN:ALL;*OPC?;:SYST:ERR?'), '1;0,"No error"')
        server.process.kill()  # kill -9: what was saved is on the disk already
        server.process.wait()
    with Server(state, runtime) as server:
        expect("recalled at start", server.scpi("ROUT:CLOS:STAT?;:ROUT:SETT:TIME?;:ROUT:CHAN:LAB? (@2);:DIAG:REL:CYCL:LIM?;:SYST:POS?"),
               '(@2);0.02;"ANT";9;RCL3')
        expect("recalled", server.scpi('*RST;:ROUT:CHAN:LAB "",(@2);:SYST:POS KEEP;*RCL 3;*OPC?;:ROUT:CLOS? (@ANT);:SYST:ERR?'), '1;1;0,"No error"')
        with open(setup, "w") as file:
            file.write("path rf9\nlimit 1\n")
        expect("a setup that does not read", server.scpi("*RCL 3;:SYST:ERR?;:ROUT:CLOS (@1);*OPC?;:ROUT:CLOS:STAT?;:DIAG:REL:CYCL:LIM?"),
               f'-300,"Device-specific error; {setup}: did not read (line 1: path rf9; no settle-time-ms line); kept as {name}.unreadable";1;(@1);9')
        os.remove(setup)
        os.symlink("/etc/hostname", setup)
        expect("a link in its place", server.scpi("*RCL 3;:SYST:ERR?;:ROUT:CLOS:STAT?"),
               f'-250,"Mass storage error; {setup}: cannot be read: a symbolic link, not a regular file";(@1)')
        expect("a setup never saved", server.scpi("*RCL 4;:SYST:ERR?"), f'-256,"File name not found; {state}/setup-4-4096-simulated.txt: nothing saved as 4"')
        expect("the exit code", server.stop(), 0)
    os.remove(setup)
    with Server(state, runtime, read_only_mount()(state)) as server:
        said = server.scpi("*SAV 3;:SYST:ERR?;:ROUT:CLOS (@2);*OPC?;:ROUT:CLOS:STAT?").rsplit(";", 2)
        expect("a setup saved in a read-only folder", [said[0].startswith(f'-250,"Mass storage error; {setup}: cannot be written: '), said[1:]],
               [True, ["1", "(@2)"]])
    expect("the setups the folder holds", [entry for entry in os.listdir(state) if entry.startswith("setup")], [f"{name}.unreadable"])


def killed_while_writing(folder):
    """--select runs, each a closure written at once, killed at random points of their lives:
    the file is always whole, its counts never go back, and what the killed ones left is cleared."""
    state, runtime = os.path.join(folder, "killed"), os.path.join(folder, "run-killed")
    os.makedirs(runtime, mode=0o700)
    command = [program, "--port", str(NO_PORT), "--simulate", "--state-dir", state, "--select"]
    environment = dict(os.environ, XDG_RUNTIME_DIR=runtime)
    started = time.monotonic()
    subprocess.run(command + ["rf1"], env=environment, capture_output=True, check=True, timeout=TIMEOUT)
    life, closed = time.monotonic() - started, 1
    for run in range(100):
        process = subprocess.Popen(command + [("rf2", "rf1")[run % 2]], env=environment, stdout=subprocess.DEVNULL)
        time.sleep(random.uniform(0, life))  # the random point it is killed at
        process.kill()
        process.wait()
        counts = re.fullmatch(r"rf1 (\d+) rf2 (\d+) limit 0", kept(state))
        if not counts or not closed <= int(counts[1]) + int(counts[2]) <= closed + 1:
            sys.exit(f"after a kill -9 at {run}: {kept(state)!r}, with {closed} closures written before")
        closed = int(counts[1]) + int(counts[2])
    subprocess.run(command + ["off"], env=environment, capture_output=True, check=True, timeout=TIMEOUT)
    expect("the state folder after a run", os.listdir(state), [FILE])


with tempfile.TemporaryDirectory() as folder:
    counted_and_kept(folder)
    read_only(folder)
    saved_setups(folder)
    killed_while_writing(folder)
print("relay cycles counted for every client, kept across kill -9 and SIGTERM, whole however the writer was killed, "
      "and a read-only state folder said once")
