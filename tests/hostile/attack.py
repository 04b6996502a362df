"""One attack, run from the attacker's network namespace:
    attack.py KIND HOST PORT [ARGS...]
It prints one line when the attack is in place ("ready ..." with what it
saw), then holds its connections until its standard input closes."""
import resource
import socket
import struct
import sys
import time

import peers

HOLD_NOT_READ = 2.0  # seconds a send may block before the server counts as no longer reading
FLOOD_LIMIT = 256 * 1024 * 1024


def ready(*words):
    """Says what the attack saw, then holds its connections until standard input closes."""
    print("ready", *words, flush=True)
    sys.stdin.read()


def connect(host, port):
    return socket.create_connection((host, port), timeout=5)


def still_open(sock):
    """False once the server has reset or closed the connection."""
    sock.setblocking(False)
    try:
        return sock.recv(1, socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        sock.setblocking(True)


def connections(host, count, ports):
    """Up to `count` connections, spread over `ports`."""
    held = []
    for i in range(int(count)):
        try:
            held.append(connect(host, int(ports[i % len(ports)])))
        except OSError:
            pass
    return held


def idle(host, port, count):
    """Connections that send nothing: how many the server keeps."""
    held = connections(host, count, [port])
    time.sleep(1)  # a reset takes a moment to arrive; this attack waits for it
    ready(sum(still_open(sock) for sock in held))


def silent(host, port, seconds):
    """Two connections that send nothing for `seconds`: how many the server still keeps."""
    held = connections(host, 2, [port])
    time.sleep(float(seconds))
    ready(sum(still_open(sock) for sock in held))


def many(host, count, *ports):
    """Connections spread over every listener at once."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
    held = connections(host, count, ports)
    ready(len(held))


def flood_bytes(kind, host, port):
    """The connection a peer that never reads sends on, what it sends chunk
    after chunk, and what it holds open besides."""
    # Each request asks for far more than it sends: answers pile up fast.
    query = b"*IDN?;" * 600 + b"*IDN?"
    if kind == "hislip":
        # Overlapped, so that answers queue rather than interrupt each other.
        sync, asyn = peers.hislip_session(host, port, timeout=5)
        asyn.sendall(peers.hislip_message(19))  # AsyncDeviceClear
        peers.hislip_read(asyn)
        sync.sendall(peers.hislip_message(8, 1))  # DeviceClearComplete, overlapped
        peers.hislip_read(sync)
        return sync, b"".join(peers.hislip_message(7, 0, peers.HISLIP_FIRST_ID + 2 * i, query) for i in range(16)), asyn
    sock = connect(host, port)
    if kind == "scpi":
        return sock, (query + b"\n") * 16
    if kind == "http":
        return sock, b"GET /api/state HTTP/1.1\r\nHost: localhost\r\n\r\n" * 256
    if kind == "post":
        return sock, b"POST /api/select HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\noff" * 256
    if kind == "vxi11":
        sock.sendall(peers.core_record(1, peers.CREATE_LINK, peers.create_link_arguments()))
        link = struct.unpack(">i", peers.rpc_results(peers.read_record(sock))[4:8])[0]
        write = peers.core_record(2, peers.DEVICE_WRITE, struct.pack(">iIII", link, 0, 0, peers.END_FLAG) + peers.opaque(query))
        read = peers.core_record(3, peers.DEVICE_READ, struct.pack(">iIIIIi", link, 1 << 20, 0, 0, 0, 0))
        return sock, (write + read) * 16
    raise SystemExit(f"no flood of kind {kind}")


def flood(kind, host, port):
    """Sends requests and never reads an answer, until the server stops
    reading (a send blocks) or FLOOD_LIMIT is sent."""
    sock, chunk, *kept_open = flood_bytes(kind, host, port)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sent = 0
    sock.settimeout(HOLD_NOT_READ)
    try:
        while sent < FLOOD_LIMIT:
            sent += sock.send(chunk)
    except (socket.timeout, OSError):
        pass
    ready(sent)


def pour(sock, total, piece=b"\0" * 65536):
    """Sends `piece` over and over up to `total` bytes: how many went, and whether all did."""
    sent = 0
    try:
        while sent < total:
            sent += sock.send(piece)
    except OSError:
        return sent, False
    return sent, True


def oversize(kind, host, port):
    """A request larger than anything the server takes: what it answers."""
    sock = connect(host, port)
    sock.settimeout(15)
    sent = 0
    try:
        if kind == "scpi":
            line = b"X" * (1 << 20)
            for _ in range(64):
                sent += sock.send(line)
            sock.sendall(b"\n*IDN?\n")
            answer = sock.recv(4096)
            ready("answered" if answer else "closed", sent)
        elif kind == "vxi11":
            sock.sendall(struct.pack(">I", peers.LAST_FRAGMENT | (100 << 20)))
            sent, whole = pour(sock, 100 << 20)
            ready("taken" if whole else "closed", sent)
        elif kind == "hislip":
            # A DataEnd that says 100 MiB: refused with Error 4 (message too large).
            sock.close()
            sock, asyn = peers.hislip_session(host, port, timeout=15)
            sock.sendall(peers.HISLIP_HEADER.pack(b"HS", 7, 0, peers.HISLIP_FIRST_ID, 100 << 20))
            sent, whole = pour(sock, 100 << 20)
            try:
                kind, control, _, _ = peers.hislip_read(sock) if whole else (None, None, None, None)
            except OSError:
                kind = None
            ready("closed" if kind is None else f"error{control}" if kind == 3 else f"type{kind}", sent)
        elif kind == "headers":
            sock.sendall(b"GET /api/state HTTP/1.1\r\nHost: localhost\r\n")
            try:
                while sent < (1 << 20):
                    sent += sock.send(b"X-Padding: " + b"a" * 1000 + b"\r\n")
                sock.sendall(b"\r\n")
            except OSError:
                pass
            ready(status(sock), sent)
        elif kind == "body":
            sock.sendall(b"POST /api/select HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n" % (256 << 20))
            ready(status(sock), sent)
        elif kind == "message":
            peers.websocket_handshake(sock)
            sock.sendall(peers.masked_frame(0x1, b"", declared=128 << 20))
            sent, _ = pour(sock, 128 << 20)
            ready(close_code(sock), sent)
        else:
            raise SystemExit(f"no oversize of kind {kind}")
    except OSError as error:
        ready("error", type(error).__name__, sent)


def status(sock):
    """The HTTP status code of the answer, or "closed"."""
    data = b""
    try:
        while b"\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    fields = data.split(b" ")
    return fields[1].decode() if len(fields) > 1 else "closed"


def close_code(sock):
    """The code of the WebSocket close frame the server sends, or "closed"."""
    data = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
            # Skip the state messages the server pushes; stop at a close frame.
            while len(data) >= 2:
                length, at = data[1] & 0x7F, 2
                if length == 126:
                    length, at = struct.unpack(">H", data[2:4])[0], 4
                elif length == 127:
                    length, at = struct.unpack(">Q", data[2:10])[0], 10
                if len(data) < at + length:
                    break
                if data[0] & 0x0F == 0x8:
                    return str(struct.unpack(">H", data[at:at + 2])[0]) if length >= 2 else "close"
                data = data[at + length:]
    except OSError:
        pass
    return "closed"


def half_header(host, port):
    """Half a request, then silence: how long the server waits for the rest."""
    sock = connect(host, port)
    sock.settimeout(60)
    sock.sendall(b"GET /api/state HTTP/1.1\r\nHost: loc")
    start = time.monotonic()
    try:
        sock.recv(4096)
    except OSError:
        pass
    ready(round(time.monotonic() - start, 1))


def lock(kind, host, port):
    """Takes the switch's lock, then waits for its network to vanish."""
    if kind == "scpi":
        sock = connect(host, port)
        sock.sendall(b"SYST:LOCK:REQ?\n")
        ready(sock.recv(100).decode().strip())
    else:
        rpc = peers.RpcClient(host, port, timeout=5)
        error = struct.unpack(">i", rpc.call(peers.VXI11_CORE, peers.VXI11_CORE_VERSION, peers.CREATE_LINK,
                                             peers.create_link_arguments(lock=True))[:4])[0]
        ready("1" if error == 0 else f"error {error}")


ATTACKS = {"idle": idle, "silent": silent, "many": many, "flood": flood, "oversize": oversize, "half-header": half_header, "lock": lock}

if __name__ == "__main__":
    ATTACKS[sys.argv[1]](*sys.argv[2:])
