"""HiSLIP against the program itself, with the test's own client, every
plain-text frame captured on loopback and decoded by tshark's HiSLIP
dissector: sessions, queries, locks between two sessions, device clear, the
status byte and MAV, a service request, an interrupted query; then StartTLS
and EndTLS, and --tls-required (the TLS versions are https_test.py's).
Usage: hislip_test.py VERSION PROGRAM; exits 77 (skipped) where tshark is
missing or cannot capture."""
import collections
import hashlib
import os
import re
import shutil
import ssl
import subprocess
import sys
import socket
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
import hislip_client as hc  # noqa: E402
from program import NO_PORT, Program, ask, expect as equal, refused  # noqa: E402

MAV, ESB, MSS = 0x10, 0x20, 0x40


def fail(why):
    sys.exit(f"FAIL: {why}")


def session(port, log=None, **options):
    return hc.Session("127.0.0.1", port, [] if log is None else log, **options)


class Capture:
    """tshark on loopback for the server's port (or what `bpf` names beside
    it), until stopped. It says each packet as it takes it: it is taken to
    capture once it has seen a probe connection to the port (one without a
    message, which the checks pass over)."""

    def __init__(self, folder, port, bpf=None):
        self.file, self.port = os.path.join(folder, "capture.pcapng"), port
        self.process = subprocess.Popen(["tshark", "-l", "-P", "-i", "lo", "-f", bpf or f"tcp port {port}", "-w", self.file],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines, self.said = [], threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        if not self._probe():
            if self.process.poll() is not None:
                print(f"tshark cannot capture on loopback here ({self.process.stderr.read().strip()}): skipped")
                sys.exit(77)
            fail("tshark saw no probe connection in 20 s")

    def _read(self):
        for line in self.process.stdout:
            with self.said:
                self.lines.append(line)
                self.said.notify_all()

    def _probe(self):
        """A connection that tshark reports: all sent before it is captured."""
        for _ in range(100):
            probe = socket.create_connection(("127.0.0.1", self.port))
            mark = f" {probe.getsockname()[1]} "
            probe.close()
            with self.said:
                if self.said.wait_for(lambda: any(mark in line for line in self.lines), 0.2):
                    return True
            if self.process.poll() is not None:
                return False
        return False

    def stop(self):
        self._probe()
        self.process.terminate()
        self.process.wait(30)


def sessions(port, version, log):
    a, b, later = (session(port, log, version=asked) for asked in (0x0200, 0x0100, 0x0301))
    equal("versions agreed with a 2.0, a 1.0 and a 3.1 client, TLS offered to each",
          (a.version, b.version, later.version, a.secure_offered, b.secure_offered), (0x0200, 0x0100, 0x0200, True, False))
    equal(f"session ids {a.id} and {b.id}: distinct, neither 0", len({a.id, b.id} - {0}), 2)
    equal("*IDN? of each", [session.query("*IDN?") for session in (a, b)], [f"rfswitch-panel,QTR7-415KM,0,{version}"] * 2)
    error = refused("a session for hislip7", lambda: session(port, log, subaddress=b"hislip7"), hc.ProtocolError)
    equal("refusal of hislip7", "hislip7" in str(error), True)
    equal("GetDescriptors in the 2.0 session: no descriptors; in the 1.0 one, no such message",
          (a.sync.ask("GetDescriptors", "GetDescriptorsResponse")[1:], b.sync.ask("GetDescriptors", "Error").control), ((0, 0, b""), 1))
    equal("remote/local control: its response's message parameter",
          a.asyn.ask("AsyncRemoteLocalControl", "AsyncRemoteLocalResponse", 1, 0xFFFFFEFE)[1:3], (0, 0))
    return a, b


def queries(a):
    equal("close and wait, then the state", (a.query("ROUT:CLOS (@1);*OPC?"), a.query("ROUT:CLOS:STAT?")), ("1", "(@1)"))
    # The size offered is the size taken; one byte more is refused, and nothing run.
    equal("a message of the size offered", a.query("ROUT:CLOS:STAT?".rjust(a.server_max, "\n")), "(@1)")
    a.sync.send("DataEnd", 0, a.next_id, b"ROUT:CLOS (@2)".ljust(a.server_max + 1))
    a.next_id += 2
    equal("too large a message, the state after it", (a.sync.expect("Error").control, a.query("ROUT:CLOS:STAT?")), (4, "(@1)"))


def locks(a, b):
    equal("an exclusive lock, another without waiting", (a.lock(), b.lock(timeout_ms=0)), (1, 0))
    equal("the error of a session without the lock", b.query("ROUT:CLOS (@2);SYST:ERR?").split(",")[0], "-203")
    b.lock(timeout_ms=20000, wait=False)
    equal("lock info, release, the waiting request granted, release, release of no lock",
          (a.lock_info(), a.unlock(), b.asyn.expect("AsyncLockResponse").control, b.unlock(), b.unlock()), ((1, 1), 1, 1, 1, 3))
    equal("a shared lock twice, lock info, an exclusive lock on it", (a.lock(b"bench"), b.lock(b"bench"), b.lock_info(), a.lock()),
          (1, 1, (0, 2), 3))
    equal("switching under a shared lock", b.query("ROUT:CLOS (@2);*OPC?;SYST:ERR?"), '1;0,"No error"')
    equal("the shared lock released twice, lock info", (a.unlock(), b.unlock(), a.lock_info()), (2, 2, (0, 0)))


def device_clear(a):
    equal("back to (@1)", a.query("ROUT:CLOS (@1);*OPC?"), "1")
    sent = a.write("*IDN?")
    equal("MAV with the answer unread", a.status() & MAV, MAV)
    # A message sent between the clear and its completion is dropped.
    equal("feature preference", a.asyn.ask("AsyncDeviceClear", "AsyncDeviceClearAcknowledge").control, 0)
    a.sync.send("DataEnd", 0, a.next_id, b"ROUT:CLOS (@2)")
    a.sync.send("DeviceClearComplete", 0)
    stale = []
    while (message := a.sync.expect("DataEnd", "DeviceClearAcknowledge")).name != "DeviceClearAcknowledge":
        stale.append(message.parameter)
    if stale not in ([], [sent]):
        fail(f"before the acknowledgement came answers for {stale}")
    a.next_id, a.last_id, a.rmt = hc.FIRST_MESSAGE_ID, None, False
    equal("MAV, the first id and its answer after the clear", (a.status() & MAV, a.write("ROUT:CLOS:STAT?"), a.read()),
          (0, 0xFFFFFF00, (0xFFFFFF00, "(@1)\n")))


def status_and_service_request(a):
    equal("*CLS", a.query("*CLS;*OPC?"), "1")
    a.write("*IDN?")
    a.sync._fill(hc.TIMEOUT)  # the answer is here, unread
    equal("status byte, answer unread, then read", (a.status(), a.read()[0], a.status()), (MAV, a.last_id, 0))
    a.write("*SRE 32;*ESE 1;*OPC")
    request = a.asyn.expect("AsyncServiceRequest")
    equal("service request's status byte", request.control & (ESB | MSS), ESB | MSS)
    equal("a message while it stands (no second request), clear", (a.query("*OPC?"), a.query("*CLS;*SRE 0;*OPC?")),
          ("1", "1"))


def interrupted(a):
    a.write("*IDN?")
    second = a.write("*OPC?")
    got = a.sync.expect("DataEnd", "Interrupted")
    if got.name == "DataEnd":
        got = a.sync.expect("Interrupted")
    equal("Interrupted's and AsyncInterrupted's message id", (got.parameter, a.asyn.expect("AsyncInterrupted").parameter), (second, second))
    equal("the new message's answer, the error", (a.read(), a.query("SYST:ERR?")),
          ((second, "1\n"), '-410,"Query INTERRUPTED"'))


def start_tls(port, context, fingerprint, version):
    s = session(port)
    s.start_tls(context)
    seen = hashlib.sha256(s.sync.sock.getpeercert(binary_form=True)).hexdigest().upper()
    equal("certificate fingerprint", ":".join(seen[i:i + 2] for i in range(0, len(seen), 2)), fingerprint)
    equal("*IDN? and a close over TLS", (s.query("*IDN?"), s.query("ROUT:CLOS (@2);*OPC?")),
          (f"rfswitch-panel,QTR7-415KM,0,{version}", "1"))
    s.end_tls()
    equal("plain after EndTLS", s.query("ROUT:CLOS:STAT?"), "(@2)")
    s.close()


def tls_required(strict, context, version):
    port = strict.port("HiSLIP on ")
    strict.line("DNS-SD")  # the last line of the start
    equal("plain doors under --tls-required", [line for line in strict.lines if line.startswith(("listening on", "VXI-11", "raw socket"))], [])
    error = refused("a HiSLIP 1.0 session under --tls-required", lambda: session(port, version=0x0100), hc.ProtocolError)
    equal("refusal of a 1.0 session", "encryption required" in str(error), True)
    plain = session(port)
    equal("encryption mandatory", plain.initialize_control & 2, 2)
    plain.write("*IDN?")
    equal("a plain session refused and closed", (b"encryption required" in plain.sync.expect("FatalError").payload, plain.sync.closed()),
          (True, True))
    # Encrypted on one channel only, a session still runs nothing in plain text.
    half = session(port)
    half.asyn.ask("AsyncStartTLS", "AsyncStartTLSResponse")
    half.asyn.wrap(lambda sock: context.wrap_socket(sock, server_hostname="localhost"), "StartTLS")
    half.write("*IDN?")
    equal("a session encrypted on its asynchronous channel only", (b"encryption required" in half.sync.expect("FatalError").payload,
                                                                   half.sync.closed()), (True, True))
    secure = session(port)
    secure.start_tls(context)
    equal("*IDN? encrypted", secure.query("*IDN?"), f"rfswitch-panel,QTR7-415KM,0,{version}")
    secure.close()


def plain_doors_named(program):
    """Under --tls-required, the raw socket and VXI-11 open where named, and the program says so."""
    with Program(program + ["--tls-required", "--raw-socket", "--vxi11"], stderr=subprocess.PIPE) as named:
        raw, vxi11 = named.port("listening on"), int(named.line("VXI-11 on port").split()[3].rstrip(":"))
        equal("*IDN? in plain text where asked for", ask(raw, "*IDN?").split(",")[0], "rfswitch-panel")
        named.stop()
        warning = f"--tls-required, yet control is open in plain text too: the raw socket on 127.0.0.1:{raw} (--raw-socket) and VXI-11 on port {vxi11} (--vxi11)"
        equal("the warning", warning in named.process.stderr.read().decode(), True)


def tshark(capture, *options):
    result = subprocess.run(["tshark", "-r", capture, *options], capture_output=True, text=True)
    if result.returncode != 0:
        fail(f"tshark {' '.join(options)}: {result.stderr}")
    return result.stdout


def check_capture(capture, port, log):
    hislip = ["-d", f"tcp.port=={port},hislip"]
    bad = tshark(capture, *hislip, "-Y", "_ws.malformed || hislip.wrongprologue || hislip.msgnotnull || _ws.expert.severity >= error")
    equal("what tshark finds malformed", bad.strip(), "")
    # Registered makers' ids are two capital letters: tshark knows them by name.
    vendor = tshark(capture, *hislip, "-Y", "hislip.messagetype == 0x12", "-O", "hislip")
    equal("the server's vendor id as tshark decodes it", set(re.findall(r"VendorID: .*", vendor)), {"VendorID: Unknown (0x7266)"})
    decoded = collections.Counter()
    for line in tshark(capture, *hislip, "-Y", "hislip", "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,",
                       "-e", "hislip.messagetype").splitlines():
        decoded.update(int(kind, 16) for kind in line.split(","))
    exchanged = collections.Counter(hc.TYPES.index(name) for _, _, name in log)
    if decoded != exchanged:
        fail(f"tshark decoded other messages than the client exchanged: not decoded {dict(exchanged - decoded)}, "
             f"more {dict(decoded - exchanged)} (types by number)")
    print(f"tshark decoded all {sum(decoded.values())} messages of the capture, none malformed")


def main():
    version, program = sys.argv[1], sys.argv[2:]
    if not shutil.which("tshark"):
        print("tshark is not installed: skipped")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="hislip-test-") as folder:
        common = ["--headless", "--listen", "127.0.0.1:0", "--no-vxi11", "--simulate", "--port", str(NO_PORT),
                  "--state-dir", os.path.join(folder, "state")]
        with Program(program + common) as served:
            port = served.port("HiSLIP on ")
            capture = Capture(folder, port)
            log = []
            try:
                a, b = sessions(port, version, log)
                queries(a)
                locks(a, b)
                device_clear(a)
                status_and_service_request(a)
                interrupted(a)
                a.close()
                b.close()
            finally:
                capture.stop()
            check_capture(capture.file, port, log)
            context = ssl.create_default_context(cafile=os.path.join(folder, "state", "tls-certificate.pem"))
            start_tls(port, context, served.line("TLS certificate ").rsplit(" ", 1)[1], version)
            with Program(program + common + ["--tls-required"]) as strict:
                tls_required(strict, context, version)
            plain_doors_named(program + [arg for arg in common if arg != "--no-vxi11"])
    print("HiSLIP: all passed")


if __name__ == "__main__":
    main()
