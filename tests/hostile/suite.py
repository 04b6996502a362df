# Every listener of the program held to the same standard: the same attacks
# from a hostile or careless peer against the SCPI socket, VXI-11's core and
# abort channels, the port mapper, HiSLIP, HTTP and the WebSocket, among them
# connections that stay silent past --idle-timeout, one peer taking more than
# its share, a peer that sends without a pause, floods of HiSLIP lock
# requests and status queries, and the lock granted to sessions that were
# reset. For each attack the server's resident memory may grow by a few MiB
# at most, its open files come back to where they were, and a well-behaved
# client of every listener is answered within a second while the attack runs
# (but where the attack holds what that client needs) and after it; behind a
# peer that never pauses, within FAIR_WITHIN.
#
#     suite.py [--bench | --vanished] PROGRAM
#
# The attacker sits in a network namespace of its own, tied to the server's
# by a veth pair, in namespaces this test makes: nothing leaves the machine.
# Needs root, ip(8) and unshare (skipped without them). With --bench it
# prints each attack's memory figure and, behind a peer that never pauses,
# another client's round trips, besides checking them; with
# --vanished it checks instead that a client holding the lock whose network
# vanishes lets go of it (SCPI and VXI-11).
import os
import shutil
import socket
import subprocess
import sys
import time

import peers
from program import Program

SERVER, ATTACKER = "10.251.0.1", "10.251.0.2"
KEEPALIVE = 6       # seconds: RFSWITCH_KEEPALIVE for the server
IDLE = 5            # --idle-timeout
GROWTH_ALLOWED = 8 << 20
SETTLE_WITHIN = 30  # seconds for the server's open files to come back
FAIR_WITHIN = 0.25  # seconds another client may wait behind a peer that never pauses
# What one peer address may hold of each listener: half its connections.
SHARE = {"scpi": 4, "vxi11": 16, "vxi11-abort": 16, "portmapper": 16, "http": 16, "hislip": 9}
HERE = os.path.dirname(os.path.abspath(__file__))


class Failures(list):
    def check(self, ok, what, missing=()):
        """`ok` and nothing `missing`: which listeners went unanswered, where that is what is checked."""
        ok = ok and not missing
        print(("ok      " if ok else "FAILED  ") + what + (f" (not: {', '.join(missing)})" if missing else ""), flush=True)
        if not ok:
            self.append(what)


def ip(*words):
    subprocess.run(["ip", *words], check=True)


class Server(Program):
    """The program, headless, with every listener open on SERVER."""

    def __init__(self, program, idle):
        env = dict(os.environ, RFSWITCH_KEEPALIVE=str(KEEPALIVE), QT_QPA_PLATFORM="offscreen")
        # The default service limit on open files, which the attack of many
        # connections would exhaust if any listener let them all in.
        super().__init__(["prlimit", "--nofile=1024:1024", program, "--headless", "--simulate", "--port", "4096",
                          "--listen", f"{SERVER}:5025", "--http", f"{SERVER}:8080", *(["--idle-timeout", str(IDLE)] if idle else [])],
                         stderr=subprocess.DEVNULL, env=env)
        self.line("web page on")
        self.ports = {"scpi": 5025, "vxi11": int(self.line("VXI-11 on port").split()[3].rstrip(":")), "portmapper": 111,
                      "http": 8080, "hislip": 4880}
        self.ports["vxi11-abort"] = peers.vxi11_query(SERVER, self.ports["vxi11"], "*IDN?")[1]
        self.ports["every"] = ",".join(str(port) for port in self.ports.values())

    def rss(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))

    def files(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))


def answered(server, skip=()):
    """The listeners whose well-behaved client was not answered in time."""
    host, ports = SERVER, server.ports
    probes = {
        "scpi": lambda: peers.scpi_query(host, ports["scpi"]).startswith("rfswitch-panel,"),
        "vxi11": lambda: peers.vxi11_query(host, ports["vxi11"], "*IDN?")[0].startswith("rfswitch-panel,"),
        "vxi11-abort": lambda: peers.RpcClient(host, ports["vxi11-abort"]).call(
            peers.VXI11_ASYNC, peers.VXI11_ASYNC_VERSION, 0) == b"",
        "portmapper": lambda: peers.getport(host) == ports["vxi11"],
        "hislip": lambda: peers.hislip_query(host, ports["hislip"]).startswith("rfswitch-panel,"),
        "http": lambda: b'"path"' in peers.http_get(host, ports["http"]),
        "websocket": lambda: len(peers.websocket_first_message(host, ports["http"])) > 2,
    }

    def served(probe):
        start = time.monotonic()
        try:
            return probe() and time.monotonic() - start <= peers.ANSWER_WITHIN
        except (OSError, ConnectionError, ValueError, IndexError, StopIteration):
            return False
    # The page's WebSocket comes in through the HTTP listener's door.
    skip = probes if skip == "every" else ("http", "websocket") if skip == "http" else (skip,)
    return [name for name, probe in probes.items() if name not in skip and not served(probe)]


def attack(namespace, kind, port, *words):
    """Starts an attack in the attacker's namespace; returns it and its ready line."""
    process = subprocess.Popen(["ip", "netns", "exec", namespace, sys.executable, os.path.join(HERE, "attack.py"), kind, SERVER,
                                *map(str, (port, *words))], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline().split()
    return process, line[1:] if line[:1] == ["ready"] else ["no-ready-line"]


def round_trips(count=50):
    """Another client's *IDN? round trips on a raw-socket connection of its own, in seconds, sorted."""
    times = []
    with socket.create_connection((SERVER, 5025), timeout=peers.ANSWER_WITHIN) as sock:
        for _ in range(count):
            start = time.monotonic()
            sock.sendall(b"*IDN?\n")
            peers.received(sock, lambda data: data.endswith(b"\n"))
            times.append(time.monotonic() - start)
    return sorted(times)


def run(server, namespace, failures, bench, name, kind, at, words, expect=None, holds=None, growth=GROWTH_ALLOWED):
    """One attack on the listener `at`: `expect(seen)` judges its ready line; `holds` names the
    listener whose slots it fills (not probed while it runs)."""
    files, rss = server.files(), server.rss()
    process, seen = attack(namespace, kind, server.ports[at], *words)
    if expect is not None:
        failures.check(expect(seen), f"{name}: the server's answer ({' '.join(seen)})")
    failures.check(True, f"{name} ({' '.join(seen)}): every other listener answered during the attack", answered(server, holds))
    if kind == "stream":
        times = round_trips()
        worst = times[-1]
        failures.check(worst <= FAIR_WITHIN, f"{name}: another client's *IDN? answered within {worst * 1000:.1f} ms at worst")
        if bench:
            print(f"BENCH flood {name}: another client's *IDN? round trip median {times[len(times) // 2] * 1000:.2f} ms, "
                  f"worst {worst * 1000:.2f} ms (goal: worst <= 20 ms)", flush=True)
    grown = server.rss() - rss
    process.stdin.close()
    process.wait(30)
    deadline = time.monotonic() + SETTLE_WITHIN
    while server.files() > files and time.monotonic() < deadline:
        time.sleep(0.2)
    failures.check((after := server.files()) <= files, f"{name}: open files back to {files} (now {after})")
    failures.check(True, f"{name}: every listener answered after", answered(server))
    failures.check(grown <= growth, f"{name}: resident memory grew {grown / 2**20:.1f} MiB")
    if bench:
        print(f"BENCH hostile {name}: resident memory +{grown / 2**20:.2f} MiB (goal <= {growth >> 20} MiB)", flush=True)


def vanished_lock(server, namespace, failures, kind):
    """A client that takes the lock and whose link then goes down frees it."""
    process, seen = attack(namespace, "lock", server.ports[kind], kind)
    failures.check(seen == ["1"], f"{kind} lock taken by the client that will vanish ({' '.join(seen)})")
    ip("-n", namespace, "link", "set", "hostile-b", "down")
    gone = time.monotonic()
    free = False
    while not free and time.monotonic() - gone < 4 * KEEPALIVE:
        try:
            free = peers.scpi_query(SERVER, server.ports["scpi"], "SYST:LOCK:REQ?;SYST:LOCK:REL") == "1"
        except (OSError, ConnectionError):
            pass
        time.sleep(0.5)
    failures.check(free, f"{kind}: the lock of a client whose network vanished is free "
                   f"{time.monotonic() - gone:.0f} s later (keepalive {KEEPALIVE} s)")
    process.kill()
    process.wait()
    ip("-n", namespace, "link", "set", "hostile-b", "up")


# Each attack: its name, its kind for attack.py, the listener it goes to and
# its words after the port, a judge of its ready line (or None), and the
# listener whose every slot it holds (not probed meanwhile).
LISTENERS = ("scpi", "vxi11", "vxi11-abort", "portmapper", "http", "hislip")
# One peer holds at most its share: every other client is still served.
ATTACKS = [(f"idle connections beyond its share on {at}", "idle", at, [40, 1], lambda seen, at=at: int(seen[0]) <= SHARE[at], None)
           for at in LISTENERS] + [
    (f"connections silent past --idle-timeout on {at}", "idle", at, [2, IDLE + 3], lambda seen: seen[0] == "0", None)
    for at in LISTENERS] + [
    (f"a peer that never reads ({kind})", "flood", at, [kind], None, None)
    for kind, at in (("scpi", "scpi"), ("vxi11", "vxi11"), ("http", "http"), ("post", "http"), ("hislip", "hislip"))] + [
    ("a 64 MiB line (scpi)", "oversize", "scpi", ["scpi"], None, None),
    ("a 100 MiB record (vxi11)", "oversize", "vxi11", ["vxi11"], lambda seen: seen[0] == "closed", None),
    ("a 100 MiB message (hislip)", "oversize", "hislip", ["hislip"], lambda seen: seen[0] == "error4", None),
    ("1 MiB of headers (http)", "oversize", "http", ["headers"], lambda seen: seen[0] == "431", None),
    ("a 256 MiB body (http)", "oversize", "http", ["body"], lambda seen: seen[0] == "413", None),
    ("a 128 MiB message (websocket)", "oversize", "http", ["message"], lambda seen: seen[0] == "1009", None),
    ("a half-sent header (http)", "half-header", "http", [], lambda seen: float(seen[0]) <= 15, None),
    ("1,100 connections under a limit of 1,024 open files", "many", "every", [1100], None, "every"),
    ("8 links asked for by one peer (vxi11)", "links", "vxi11", [8], lambda seen: seen[0] == "4", None),
    ("the lock granted to sessions reset while they waited, 20 times (hislip)", "grant-to-reset", "hislip", [20],
     lambda seen: seen[0] == "20", None),
    # While the attacker's other session holds the lock, VXI-11 refuses a write (error 11): not probed.
    ("status queries naming messages never sent, 4 MiB (hislip)", "hislip-locks", "hislip", ["status", 4], lambda seen: seen[0] == "1", "vxi11"),
] + [(f"a peer that never pauses ({kind})", "stream", at, [kind], lambda seen: seen[0] == "streaming", None)
     for kind, at in (("scpi", "scpi"), ("vxi11", "vxi11"), ("websocket", "http"), ("hislip", "hislip"))]


def lock_flood(megabytes):
    """Lock requests that would wait a day, sent while another session holds the lock."""
    return (f"lock requests that would wait a day, {megabytes} MiB (hislip)", "hislip-locks", "hislip", ["lock", megabytes],
            lambda seen: seen[0] == "1", "vxi11", 2 << 20)


def suite(program, bench, vanished):
    namespace = f"hostile-{os.getpid()}"
    ip("link", "set", "lo", "up")
    ip("netns", "add", namespace)
    server = None
    failures = Failures()
    try:
        ip("link", "add", "hostile-a", "type", "veth", "peer", "name", "hostile-b", "netns", namespace)
        ip("addr", "add", f"{SERVER}/30", "dev", "hostile-a")
        ip("link", "set", "hostile-a", "up")
        ip("-n", namespace, "addr", "add", f"{ATTACKER}/30", "dev", "hostile-b")
        ip("-n", namespace, "link", "set", "hostile-b", "up")
        # Without an idle timeout where a vanished client is to be noticed by keepalive alone.
        server = Server(program, idle=not vanished)
        # One operation before anything is counted: the clock that stamps the
        # operations opens its watch on the time zone at its first use, once.
        peers.scpi_query(SERVER, server.ports["scpi"], "ROUT:CLOS (@1);*OPC?")
        failures.check(True, "every listener answers a well-behaved client", answered(server))
        for row in ([] if vanished else ATTACKS + [lock_flood(32 if bench else 4)]):
            run(server, namespace, failures, bench, *row)
        for kind in (("scpi", "vxi11") if vanished else ()):
            vanished_lock(server, namespace, failures, kind)
    finally:
        subprocess.run(["ip", "netns", "delete", namespace])
        if server:
            with server:
                server.stop()
    if failures:
        sys.exit(f"{len(failures)} checks failed")
    print("every listener held to the standard")


if __name__ == "__main__":
    if os.geteuid() != 0 or not all(shutil.which(tool) for tool in ("ip", "unshare", "prlimit")):
        print("needs root, ip, unshare and prlimit: skipped")
        sys.exit(77)
    if os.environ.get("RFSWITCH_HOSTILE_NAMESPACE") != "1":
        sys.exit(subprocess.call(["unshare", "--net", sys.executable, *sys.argv], env=dict(os.environ, RFSWITCH_HOSTILE_NAMESPACE="1")))
    suite([arg for arg in sys.argv[1:] if not arg.startswith("--")][0], "--bench" in sys.argv, "--vanished" in sys.argv)
