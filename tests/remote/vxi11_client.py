"""VXI-11 as VISA clients speak it, against the program itself: PyVISA
(pyvisa-py) opens TCPIP0::127.0.0.1::inst0::INSTR with no termination set;
pyvisa-py's own VXI-11 client checks what the protocol says of message ends,
read sizes, the status byte, device clear, locks (the same lock as the raw
socket's clients meet) and aborts. Run by netns.sh, where no rpcbind runs
and the program answers the port mapper itself, and Avahi is not running.
Usage: vxi11_client.py VERSION PROGRAM; exits 77 where PyVISA is missing."""
import re
import socket
import sys

from program import Program

try:
    import pyvisa
    from pyvisa_py.protocols import rpc, vxi11
except ImportError as error:
    print(f"PyVISA not available ({error}): skipped")
    sys.exit(77)

version, program = sys.argv[1], sys.argv[2]
IDN = f"rfswitch-panel,QTR7-415KM,0,{version}"  # the serial stays whatever the port
END, WAITLOCK, TERMCHAR = 0x08, 0x01, 0x80
REASON_REQCNT, REASON_CHR, REASON_END = 1, 2, 4
IO = 2000  # ms


def fail(what, expected, got):
    sys.exit(f"{what}: expected {expected!r}, got {got!r}")


class Link:
    """One client with one link, through pyvisa-py's VXI-11 client."""

    def __init__(self, lock=0):
        self.client = vxi11.CoreClient("127.0.0.1")
        self.error, self.id, self.abort_port, _ = self.client.create_link(1, lock, 1000, "inst0")

    def write(self, data, flags=END):
        return self.client.device_write(self.id, IO, 0, flags, data)

    def read(self, size=1000, flags=0, term=0, io=IO):
        return self.client.device_read(self.id, size, io, 0, flags, term)

    def stb(self):
        return self.client.device_read_stb(self.id, 0, 0, IO)

    def send(self, procedure, arguments, pack):
        """Sends a call without waiting for its reply (see answer)."""
        self.client.start_call(procedure)
        pack(arguments)
        rpc._sendrecord(self.client.sock, self.client.packer.get_buf())

    def answer(self, unpack):
        self.client.unpacker.reset(rpc._recvrecord(self.client.sock, 10))
        self.client.unpacker.unpack_replyheader()
        return unpack()


with Program([program, "--headless", "--listen", "0.0.0.0:0", "--port", "4096", "--simulate"]) as server:
    for prefix, expected in [
        ("VXI-11 on port", r"VXI-11 on port \d+: TCPIP0::bench-pc::inst0::INSTR"),
        ("VXI-11: ", r"VXI-11: no rpcbind runs; this program answers the port mapper on 0\.0\.0\.0:111"),
        ("DNS-SD", r"DNS-SD: Avahi is not running: the switch is not announced"),
    ]:
        if not re.fullmatch(expected, line := server.line(prefix)):
            fail("the log", expected, line)
    raw_port = int(server.line("listening on").rsplit(":", 1)[1])

    # PyVISA as a bench script uses it: nothing about terminations set.
    manager = pyvisa.ResourceManager("@py")
    switch = manager.open_resource("TCPIP0::127.0.0.1::inst0::INSTR", timeout=10000)
    for command, answer in [
        ("*IDN?", IDN),
        ("ROUT:CLOS (@1)", None),
        ("ROUT:CLOS:STAT?", "(@1)"),
        ("ROUT:CLOS (@1,2)", None),
        ("*STB?;SYST:ERR?", '4;-221,"Settings conflict; RF1 and RF2 cannot be closed together"'),
        ("*RST;*OPC?;ROUT:CLOS:STAT?", "1;(@)"),
    ]:
        if answer is None:
            switch.write(command)
        elif (got := switch.query(command)) != answer + "\n":
            fail(command, answer + "\n", got)
    switch.write("*IDN?")
    if (stb := switch.read_stb()) != 0x10:
        fail("status byte with an answer waiting", 0x10, stb)
    switch.read()
    # An answer left unread is dropped by the next message, which says so.
    switch.write("ROUT:CLOS (@2)")
    switch.write("*IDN?")
    for command, answer in [("ROUT:CLOS:STAT?", "(@2)"), ("SYST:ERR?", '-410,"Query INTERRUPTED"'), ("SYST:ERR?", '0,"No error"')]:
        if (got := switch.query(command)) != answer + "\n":
            fail(f"{command} after an unread *IDN?", answer + "\n", got)
    switch.lock_excl()
    other = manager.open_resource("TCPIP0::127.0.0.1::inst0::INSTR", timeout=10000)
    for refused in (other.lock_excl, lambda: other.write("ROUT:CLOS (@2)")):
        try:
            refused()
            sys.exit("a second session was not refused while the first held the lock")
        except pyvisa.VisaIOError as error:
            if error.error_code not in (pyvisa.constants.VI_ERROR_RSRC_LOCKED, pyvisa.constants.VI_ERROR_IO):
                fail("the second session's error", "locked", error)
    switch.unlock()
    if (got := other.query("ROUT:CLOS (@2);*OPC?;ROUT:CLOS:STAT?")) != "1;(@2)\n":
        fail("the second session once the lock was let go", "1;(@2)\n", got)
    switch.close()
    other.close()

    # The protocol's details, each row on a link of its own.
    IDN_BYTES = (IDN + "\n").encode()
    for name, steps, expected in [
        ("END ends a message without a line end", lambda a: [a.write(b"*IDN?"), a.read()], [(0, 5), (0, REASON_END, IDN_BYTES)]),
        ("a message over two writes", lambda a: [a.write(b"*ID", 0), a.write(b"N?"), a.read()],
         [(0, 3), (0, 2), (0, REASON_END, IDN_BYTES)]),
        ("requestSize", lambda a: [a.write(b"*IDN?"), a.read(5), a.read()],
         [(0, 5), (0, REASON_REQCNT, IDN_BYTES[:5]), (0, REASON_END, IDN_BYTES[5:])]),
        ("termChar", lambda a: [a.write(b"*OPC?;*OPC?"), a.read(flags=TERMCHAR, term=ord(";")), a.read()],
         [(0, 11), (0, REASON_CHR, b"1;"), (0, REASON_END, b"1\n")]),
        ("nothing to read", lambda a: [a.read(io=0)], [(15, 0, b"")]),
        ("nothing asked", lambda a: [a.read(io=8000), a.write(b"SYST:ERR?"), a.read()],
         [(15, 0, b""), (0, 9), (0, REASON_END, b'-420,"Query UNTERMINATED"\n')]),
        ("status byte", lambda a: [a.write(b"FOO"), a.stb(), a.write(b"*CLS;*IDN?"), a.stb(), a.read(), a.stb()],
         [(0, 3), (0, 0x04), (0, 10), (0, 0x10), (0, REASON_END, IDN_BYTES), (0, 0)]),
        ("device clear drops the answer", lambda a: [a.write(b"*IDN?"), a.client.device_clear(a.id, 0, 0, IO), a.read(io=0)],
         [(0, 5), 0, (15, 0, b"")]),
        ("no trigger", lambda a: [a.client.device_trigger(a.id, 0, 0, IO)], [8]),
        ("unlock without the lock", lambda a: [a.client.device_unlock(a.id)], [12]),
        ("no such link", lambda a: [a.client.device_write(a.id + 100, IO, 0, END, b"*IDN?")], [(4, 0)]),
        ("no such device", lambda a: [a.client.create_link(2, 0, 0, "gpib0,5")[0]], [3]),
    ]:
        link = Link()
        if (got := steps(link)) != expected:
            fail(name, expected, got)
        link.client.destroy_link(link.id)

    # The lock: one link's, the other links' and the raw socket's alike.
    a, b = Link(lock=1), Link()
    raw = socket.create_connection(("127.0.0.1", raw_port))
    raw_lines = raw.makefile("r")

    def ask(command):
        raw.sendall(command.encode() + b"\n")
        return raw_lines.readline()

    if a.error != 0 or (got := [b.client.device_lock(b.id, 0, 0), b.write(b"*RST"), b.client.device_lock(b.id, WAITLOCK, 200)]) != [11, (11, 0), 11]:
        fail("the others while a link holds the lock", [11, (11, 0), 11], got if a.error == 0 else a.error)
    if not re.fullmatch(r'-203,"Command protected; locked by remote:vxi11:127\.0\.0\.1:\d+/link\d+"\n', got := ask("ROUT:CLOS (@2);SYST:ERR?")):
        fail("the raw socket while a link holds the lock", "-203 locked by the link", got)
    # B waits for the lock while A is served; A lets go, and B has it.
    b.send(18, (b.id, WAITLOCK, 8000), b.client.packer.pack_device_lock_parms)
    if (got := [a.write(b"*IDN?"), a.read()[2], a.client.device_unlock(a.id)]) != [(0, 5), IDN_BYTES, 0]:
        fail("the lock holder while another waits", [(0, 5), IDN_BYTES, 0], got)
    if (got := b.answer(b.client.unpacker.unpack_device_error)) != 0:
        fail("the lock waited for", 0, got)
    # A client that goes lets go of its lock.
    b.client.destroy_link(b.id)
    if (got := ask("ROUT:CLOS (@1);*OPC?;ROUT:CLOS:STAT?")) != "1;(@1)\n":
        fail("the raw socket once the link has gone", "1;(@1)\n", got)

    # A read that waits (here for another link's lock) ends when the abort channel says so.
    c = Link(lock=1)
    a.send(12, (a.id, 100, 8000, 8000, WAITLOCK, 0), a.client.packer.pack_device_read_parms)
    abort = rpc.RawTCPClient("127.0.0.1", 0x0607B0, 1, a.abort_port)
    abort.packer, abort.unpacker = rpc.Packer(), rpc.Unpacker(b"")
    if (got := [abort.make_call(1, a.id, abort.packer.pack_int, abort.unpacker.unpack_int),
                a.answer(a.client.unpacker.unpack_device_read_resp)]) != [0, (23, 0, b"")]:
        fail("an aborted read", [0, (23, 0, b"")], got)
print("VISA clients drove the switch over VXI-11 as expected")
