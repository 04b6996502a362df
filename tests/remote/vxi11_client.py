# VXI-11 as VISA clients speak it, against the program itself: PyVISA
# (pyvisa-py) opens TCPIP0::127.0.0.1::inst0::INSTR with no termination set,
# and pyvisa-py's own VXI-11 client checks what the in-process test cannot:
# the calls its client makes no other way, and one lock shared with the raw
# socket's clients. Run by netns.sh, where no rpcbind runs and the program
# answers the port mapper itself (rpcinfo -p lists what it maps), and Avahi is
# not running.
# Usage: vxi11_client.py VERSION PROGRAM; exits 77 where PyVISA is missing.
import re
import shutil
import subprocess
import sys

from program import NO_PORT, Program, ask, expect, need, refused

pyvisa, rpc, vxi11 = need("pyvisa", "pyvisa_py.protocols.rpc", "pyvisa_py.protocols.vxi11")
version, program = sys.argv[1], sys.argv[2]
IDN = f"rfswitch-panel,QTR7-415KM,0,{version}"  # the serial stays whatever the port
END, WAITLOCK = 0x08, 0x01
IO = 2000  # ms


class Link:
    """One client with one link, through pyvisa-py's VXI-11 client."""

    def __init__(self, lock=0):
        self.client = vxi11.CoreClient("127.0.0.1")
        self.error, self.id, self.abort_port, _ = self.client.create_link(1, lock, 1000, "inst0")

    def send(self, procedure, arguments, pack):
        """Sends a call without waiting for its reply (see answer)."""
        self.client.start_call(procedure)
        pack(arguments)
        rpc._sendrecord(self.client.sock, self.client.packer.get_buf())

    def answer(self, unpack):
        self.client.unpacker.reset(rpc._recvrecord(self.client.sock, 10))
        self.client.unpacker.unpack_replyheader()
        return unpack()


with Program([program, "--headless", "--listen", "0.0.0.0:0", "--port", str(NO_PORT), "--simulate"]) as server:
    for prefix, expected in [
        ("VXI-11 on port", r"VXI-11 on port \d+: TCPIP0::bench-pc::inst0::INSTR"),
        ("VXI-11: ", r"VXI-11: no rpcbind runs; this program answers the port mapper on 0\.0\.0\.0:111"),
        ("DNS-SD", r"DNS-SD: Avahi is not running: the switch is not announced"),
    ]:
        if not re.fullmatch(expected, line := server.line(prefix)):
            expect("the log", line, expected)
    raw_port = server.port("listening on")
    core_port = int(re.match(r"VXI-11 on port (\d+)", server.line("VXI-11 on port"))[1])

    # rpcinfo asks the program's own port mapper for everything it maps.
    if shutil.which("rpcinfo"):
        listed = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True, timeout=30).stdout.split("\n")
        expect("rpcinfo -p", [line.rstrip() for line in listed[:4]],
               ["   program vers proto   port  service", "    100000    2   tcp    111  portmapper",
                "    100000    2   udp    111  portmapper", f"    395183    1   tcp  {core_port:5}"])

    # PyVISA as a bench script uses it: nothing about terminations set.
    manager = pyvisa.ResourceManager("@py")
    switch = manager.open_resource("TCPIP0::127.0.0.1::inst0::INSTR", timeout=10000)
    expect("*IDN?", switch.query("*IDN?"), IDN + "\n")
    switch.write("ROUT:CLOS (@1)")
    expect("ROUT:CLOS:STAT? after ROUT:CLOS (@1)", switch.query("ROUT:CLOS:STAT?"), "(@1)\n")
    switch.write("*IDN?")
    expect("status byte with an answer waiting", switch.read_stb(), 0x10)
    expect("the answer waiting", switch.read(), IDN + "\n")
    switch.lock_excl()
    other = manager.open_resource("TCPIP0::127.0.0.1::inst0::INSTR", timeout=10000)
    for attempt in (other.lock_excl, lambda: other.write("ROUT:CLOS (@2)")):
        error = refused("a second session while the first held the lock", attempt, pyvisa.VisaIOError)
        if error.error_code not in (pyvisa.constants.VI_ERROR_RSRC_LOCKED, pyvisa.constants.VI_ERROR_IO):
            expect("the second session's error", error, "locked")
    switch.unlock()
    expect("the second session once the lock was let go", other.query("ROUT:CLOS (@2);*OPC?;ROUT:CLOS:STAT?"), "1;(@2)\n")
    switch.close()
    other.close()

    # The calls no VISA client makes, each on a link of its own.
    for name, call, expected in [
        ("no trigger", lambda a: a.client.device_trigger(a.id, 0, 0, IO), 8),
        ("unlock without the lock", lambda a: a.client.device_unlock(a.id), 12),
        ("no such device", lambda a: a.client.create_link(2, 0, 0, "gpib0,5")[0], 3),
    ]:
        link = Link()
        expect(name, call(link), expected)
        link.client.destroy_link(link.id)

    # The lock: one link's, the other links' and the raw socket's alike.
    a, b = Link(lock=1), Link()
    expect("the others while a link holds the lock", [a.error, b.client.device_lock(b.id, 0, 0),
           b.client.device_write(b.id, IO, 0, END, b"*RST"), b.client.device_lock(b.id, WAITLOCK, 200)], [0, 11, (11, 0), 11])
    if not re.fullmatch(r'-203,"Command protected; locked by remote:vxi11:127\.0\.0\.1:\d+/link\d+"',
                        got := ask(raw_port, "ROUT:CLOS (@2);SYST:ERR?")):
        expect("the raw socket while a link holds the lock", got, "-203 locked by the link")
    # B waits for the lock while A is served; A lets go, and B has it.
    b.send(18, (b.id, WAITLOCK, 8000), b.client.packer.pack_device_lock_parms)
    expect("the lock holder while another waits", [a.client.device_write(a.id, IO, 0, END, b"*IDN?"),
           a.client.device_read(a.id, 1000, IO, 0, 0, 0)[2], a.client.device_unlock(a.id)], [(0, 5), (IDN + "\n").encode(), 0])
    expect("the lock waited for", b.answer(b.client.unpacker.unpack_device_error), 0)
    expect("the raw socket while the other link holds the lock", ask(raw_port, "ROUT:CLOS (@1);SYST:ERR?")[:4], "-203")
print("VISA clients drove the switch over VXI-11 as expected")
