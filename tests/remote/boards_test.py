# Four boards behind one headless server, each on a simulated port of its
# own: slot channels over the raw socket, one lock over every board, the
# boards described by slot, a board's two paths refused together, the HTTP
# API by board, each board's relay counts across a restart, the Python class
# on board 2 through PyVISA, every board's saved setup recalled at start,
# every board terminated at the stop, and --board's usage errors.
# Usage: boards_test.py PROGRAM PYTHON_DIR
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

from program import Program, ask, expect

program = sys.argv[1]
sys.path.insert(0, sys.argv[2])
BOARDS = ["4096", "bench=4104", "4112", "4120"]  # no machine has a port there


def server(state, *more):
    boards = [argument for board in BOARDS for argument in ("--board", board)]
    return Program([program, "--headless", "--simulate", "--state-dir", state, *boards,
                    "--listen", "127.0.0.1:0", "--no-vxi11", "--no-hislip", "--http", "127.0.0.1:0", *more])


def post(url, body):
    """The HTTP status and the JSON answer of a POST."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=body.encode(), method="POST"), timeout=10) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


class Client:
    """One connection, kept open: a client of its own, as the lock sees it."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.answers = self.socket.makefile("rb")

    def ask(self, line):
        self.socket.sendall(line.encode() + b"\n")
        return self.answers.readline().decode().strip()

    def close(self):
        self.answers.close()
        self.socket.close()


with tempfile.TemporaryDirectory() as state:
    with server(state) as first:
        port = first.port("listening on ")
        expect("four boards switched by one command", ask(port, "ROUT:CLOS (@101,202,301,402);*OPC?;:ROUT:CLOS:STAT?"),
               "1;(@101,202,301,402)")
        version = ask(port, "*IDN?").split(",")[3]
        expect("the boards by slot", ask(port, "SYST:CDES? 2;:SYST:CDES? 3;:SYST:CTYP? 4"),
               f'"QTR7-415KM bench on port 4104";"QTR7-415KM on port 4112";rfswitch-panel,QTR7-415KM,0,{version}')
        expect("RF1 and RF2 of one board", ask(port, "ROUT:CLOS (@301,302);:SYST:ERR?"),
               '-221,"Settings conflict; RF1 and RF2 of board 3 cannot be closed together"')
        expect("no board 5", ask(port, "ROUT:CLOS (@501);:SYST:ERR?").split(",")[0], "-222")
        # Board 1 asked onto board 2's port: refused it, and board 2 switches on.
        refused = ask(port, "SYST:PORT 4104;*OPC?;:SYST:ERR?;:ROUT:CLOS (@202);*OPC?;:ROUT:CLOS? (@202)")
        expect("one port, one board", refused,
               '1;-222,"Data out of range; held by board 2 of this program; give each board a port of its own";1;1')
        expect("board 1 back on its own port", ask(port, "SYST:PORT 4096;*OPC?;:SYST:ERR?"), '1;0,"No error"')

        holder, other = Client(port), Client(port)
        expect("the lock taken", holder.ask("SYST:LOCK:REQ?"), "1")
        expect("another client, on a board the holder never named", other.ask("ROUT:CLOS (@302);:SYST:ERR?").split(",")[0], "-203")
        expect("the lock's holder switches every board", holder.ask("ROUT:CLOS (@102,401);*OPC?;:ROUT:CLOS:STAT?"), "1;(@102,202,301,401)")
        holder.ask("SYST:LOCK:REL;*OPC?")
        expect("let go, free for all", other.ask("ROUT:CLOS (@302);*OPC?;:ROUT:CLOS:STAT?"), "1;(@102,202,302,401)")
        holder.close()
        other.close()

        page = first.line("web page on ").split()[-1]
        status, shown = post(page + "api/boards/2/select", "rf1")
        expect("board 2 by the path", (status, [board["path"] for board in shown["boards"]]), (200, ["rf2", "rf1", "rf2", "rf1"]))
        status, shown = post(page + "api/select", '{"board": 4, "path": "rf2"}')
        expect("board 4 by the body", (status, [board["path"] for board in shown["boards"]]), (200, ["rf2", "rf1", "rf2", "rf2"]))
        status, shown = post(page + "api/select", "off")
        expect("a bare body: board 1", (status, shown["path"], shown["boards"][0]["path"], shown["boards"][0]["name"],
                                        shown["boards"][1]["name"]), (200, "off", "off", "", "bench"))
        expect("no board 5", post(page + "api/boards/5/select", "rf1")[0], 404)
        expect("no board 0 in the body", post(page + "api/select", '{"board": 0, "path": "rf1"}')[0], 404)
        expect("the boards as SCPI sees them", ask(port, "ROUT:CLOS:STAT?"), "(@201,302,402)")
        with urllib.request.urlopen(page + "metrics", timeout=10) as answer:
            metrics = answer.read().decode().splitlines()
        expect("each board's live path in /metrics", [line for line in metrics if line.startswith("rfswitch_path{") and line.endswith(" 1")],
               ['rfswitch_path{board="1",path="off"} 1', 'rfswitch_path{board="2",path="rf1"} 1',
                'rfswitch_path{board="3",path="rf2"} 1', 'rfswitch_path{board="4",path="rf2"} 1'])
        expect("board 3's closures in /metrics", [line for line in metrics if line.startswith('rfswitch_relay_cycles_total{board="3"')],
               ['rfswitch_relay_cycles_total{board="3",channel="1",path="rf1"} 1',
                'rfswitch_relay_cycles_total{board="3",channel="2",path="rf2"} 1'])
        expect("stopped", first.stop(), 0)

    # Each board's closures in its own file, read again at start.
    with server(state) as again:
        raw = again.port("listening on ")
        expect("relay counts per board after a restart", ask(raw, "DIAG:REL:CYCL? (@101:402)"), "1,1,1,1,1,1,1,2")

        # The Python class on one board of several, as a script drives it.
        try:
            from rfswitch_panel.pymeasure import RFSwitchPanel
        except ImportError as missing:
            print(f"{missing.name} not available: the Python class not tried")
        else:
            second = RFSwitchPanel(f"TCPIP0::127.0.0.1::{raw}::SOCKET", visa_library="@py", timeout=10000, board=2)
            second.path = "rf2"
            second.settle_time = 0.01
            expect("board 2 through the class", (second.path, ask(raw, "ROUT:CLOS:STAT?"), second.cycles, second.settle_time),
                   ("rf2", "(@202)", (1, 2), 0.01))
            second.path = "off"
            # Simulated ports start open: only board 2 has moved since the restart.
            expect("board 2 off, its settle time its own", (second.path, ask(raw, "ROUT:CLOS:STAT?;:ROUT:CHAN:DEL? (@101,201)")),
                   ("off", "(@);0,0.01"))
            second.adapter.connection.close()

        expect("every board saved, and named for power-on",
               ask(raw, "ROUT:CLOS (@102,201,302,401);*SAV 2;:SYST:POS RCL2;*OPC?;:SYST:ERR?"), '1;0,"No error"')
        expect("stopped", again.stop(), 0)

    # At start each board recalls the setup SYST:POS names; --on-stop off terminates every board.
    log = os.path.join(state, "operations.log")
    with server(state, "--on-stop", "off", "--log", log) as third:
        expect("every board as saved, recalled at start", ask(third.port("listening on "), "ROUT:CLOS:STAT?"), "(@102,201,302,401)")
        expect("stopped", third.stop(), 0)
    with open(log) as lines:
        stopped = sorted(re.search(r" port=(\d+) ", line)[1] for line in lines if " stop port=" in line and " wrote=0x00 " in line)
    expect("every board terminated at the stop", stopped, ["4096", "4104", "4112", "4120"])

for arguments, words in ((["--board", "4096", "--port", "4096"], "--port and --board do not go together"),
                         (["--board", "4096", "--select", "rf1"], "--board goes with the panel or --headless"),
                         (["--board", "bench=lpt1", "--headless", "--listen", "127.0.0.1:0"], '"lpt1" is not a port'),
                         (["--board", "4096", "--board", "0x1000", "--headless", "--listen", "127.0.0.1:0"], "\"0x1000\" is board 1's already"),
                         (["--board", "9bench=4096", "--headless", "--listen", "127.0.0.1:0"], "a board's name is a letter")):
    run = subprocess.run([program, *arguments], capture_output=True, text=True, timeout=30)
    expect(f"{' '.join(arguments)}: bad usage", (run.returncode, words in run.stderr), (2, True))
print("boards: ok")
