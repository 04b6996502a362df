"""VXI-11's interrupt channel against the program itself: the test's own
RPC client asks for the channel back to its own RPC server, enables service
requests with a handle and sends *SRE 32;*ESE 1;*OPC; the program calls
device_intr_srq with that handle. Every packet on loopback is captured and
decoded by tshark. Usage: interrupt_test.py PROGRAM; exits 77 (skipped)
where tshark is missing or cannot capture."""
import os
import re
import shutil
import socket
import struct
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "hislip"), os.path.join(here, "..", "hostile")]
import peers  # noqa: E402
from hislip_test import Capture, tshark  # noqa: E402
from program import NO_PORT, Program, expect  # noqa: E402

INTR, INTR_VERSION, INTR_SRQ = 0x0607B1, 1, 30
ENABLE_SRQ, CREATE_INTR_CHAN, DESTROY_INTR_CHAN = 20, 25, 26
HANDLE = b"bench-7"

if not shutil.which("tshark"):
    print("tshark is not installed: skipped")
    sys.exit(77)
with tempfile.TemporaryDirectory(prefix="vxi11-interrupt-") as folder:
    with Program(sys.argv[1:] + ["--headless", "--listen", "127.0.0.1:0", "--no-hislip", "--simulate", "--port", str(NO_PORT),
                                 "--state-dir", os.path.join(folder, "state")]) as served:
        core = int(re.match(r"VXI-11 on port (\d+)", served.line("VXI-11 on port"))[1])
        interrupts = socket.create_server(("127.0.0.1", 0))
        back = interrupts.getsockname()[1]
        capture = Capture(folder, core, f"tcp port {core} or tcp port {back}")
        try:
            with peers.RpcClient("127.0.0.1", core, timeout=10) as rpc:
                link = struct.unpack(">i", rpc.core(peers.CREATE_LINK, ">iII", 1234, 0, 0, data=b"inst0")[4:8])[0]
                replies = [rpc.core(CREATE_INTR_CHAN, ">5I", 0x7F000001, back, INTR, INTR_VERSION, 0)]
                channel = interrupts.accept()[0]
                channel.settimeout(10)
                replies += [rpc.core(ENABLE_SRQ, ">iI", link, 1, data=HANDLE),
                            rpc.core(peers.DEVICE_WRITE, ">iIII", link, 1000, 0, peers.END_FLAG, data=b"*SRE 32;*ESE 1;*OPC")]
                call = peers.read_record(channel)
                expect("device_intr_srq", call[4:], struct.pack(">9I", 0, 2, INTR, INTR_VERSION, INTR_SRQ, 0, 0, 0, 0) + peers.opaque(HANDLE))
                # Answered as a client's RPC server answers: the program reads it and waits for none.
                channel.sendall(struct.pack(">7I", peers.LAST_FRAGMENT | 24, struct.unpack(">I", call[:4])[0], 1, 0, 0, 0, 0))
                replies.append(rpc.core(DESTROY_INTR_CHAN, ""))
                expect("create_intr_chan, device_enable_srq, device_write, destroy_intr_chan", replies,
                       [bytes(4), bytes(4), struct.pack(">iI", 0, 19), bytes(4)])
                expect("the channel after destroy_intr_chan", channel.recv(1), b"")
        finally:
            capture.stop()
        rpc = ["-d", f"tcp.port=={core},rpc", "-d", f"tcp.port=={back},rpc"]
        expect("what tshark finds malformed", tshark(capture.file, *rpc, "-Y", "_ws.malformed || _ws.expert.severity >= error"), "")
        expect("the calls tshark decodes", tshark(capture.file, *rpc, "-Y", "rpc.msgtyp == 0", "-T", "fields", "-e", "rpc.program",
                                                  "-e", "rpc.procedure", "-e", "vxi11_intr.handle").split("\n"),
               ["395183\t10\t", "395183\t25\t", "395183\t20\t", "395183\t11\t", f"395185\t30\t{HANDLE.hex()}", "395183\t26\t", ""])
print("the program called device_intr_srq on the interrupt channel, as tshark decodes it")
