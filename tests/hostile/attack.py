# One attack, run from the attacker's network namespace:
#     attack.py KIND HOST PORT [ARGS...]   (PORT: several, comma-separated, for "many")
# It prints one line when the attack is in place ("ready ..." with what it
# saw), then holds its connections until its standard input closes.
import os
import resource
import socket
import struct
import sys
import threading
import time

import peers

HOLD_NOT_READ = 2.0  # seconds a send may block before the server counts as no longer reading
FLOOD_LIMIT = 256 * 1024 * 1024
QUERY = b"*IDN?;" * 600 + b"*IDN?"  # asks for far more than it sends: answers pile up fast


def ready(*words):
    """Says what the attack saw, then holds its connections until standard input closes."""
    print("ready", *words, flush=True)
    sys.stdin.read()


def connect(host, port, timeout=5):
    return socket.create_connection((host, int(port)), timeout=timeout)


def still_open(sock):
    """False once the server has reset or closed the connection."""
    sock.setblocking(False)
    try:
        return sock.recv(1, socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def connections(host, count, ports):
    """Up to `count` connections, spread over `ports`."""
    held = []
    for i in range(int(count)):
        try:
            held.append(connect(host, ports[i % len(ports)]))
        except OSError:
            pass
    return held


def idle(host, port, count, seconds):
    """Connections that send nothing for `seconds`: how many the server still keeps
    (a reset, too, takes a moment to arrive)."""
    held = connections(host, count, [port])
    time.sleep(float(seconds))
    ready(sum(still_open(sock) for sock in held))


def many(host, ports, count):
    """Connections spread over every listener at once."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
    ready(len(connections(host, count, ports.split(","))))


def flood_bytes(host, port, kind):
    """The connection a peer that never reads sends on, what it sends chunk
    after chunk, and what it holds open besides."""
    if kind == "hislip":
        # Overlapped, so that answers queue rather than interrupt each other.
        sync, asyn = peers.hislip_session(host, port, timeout=5)
        asyn.sendall(peers.hislip_message(19))  # AsyncDeviceClear
        peers.hislip_read(asyn)
        sync.sendall(peers.hislip_message(8, 1))  # DeviceClearComplete, overlapped
        peers.hislip_read(sync)
        return sync, b"".join(peers.hislip_message(7, 0, peers.HISLIP_FIRST_ID + 2 * i, QUERY) for i in range(16)), asyn
    sock = connect(host, port)
    if kind == "vxi11":
        sock.sendall(peers.core_record(1, peers.CREATE_LINK, peers.create_link_arguments()))
        link = struct.unpack(">i", peers.rpc_results(peers.read_record(sock))[4:8])[0]
        write = peers.core_record(2, peers.DEVICE_WRITE, struct.pack(">iIII", link, 0, 0, peers.END_FLAG) + peers.opaque(QUERY))
        read = peers.core_record(3, peers.DEVICE_READ, struct.pack(">iIIIIi", link, 1 << 20, 0, 0, 0, 0))
        return sock, (write + read) * 16
    return sock, {"scpi": (QUERY + b"\n") * 16, "http": b"GET /api/state HTTP/1.1\r\nHost: localhost\r\n\r\n" * 256,
                  "post": b"POST /api/select HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\noff" * 256}[kind]


def flood(host, port, kind):
    """Sends requests and never reads an answer, until the server stops
    reading (a send blocks) or FLOOD_LIMIT is sent."""
    sock, chunk, *kept_open = flood_bytes(host, port, kind)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.settimeout(HOLD_NOT_READ)
    ready(pour(sock, FLOOD_LIMIT, chunk)[0])


def pour(sock, total, piece=b"\0" * 65536):
    """Sends `piece` over and over up to `total` bytes: how many went, and whether all did."""
    sent = 0
    try:
        while sent < total:
            sent += sock.send(piece)
    except OSError:  # socket.timeout among them
        return sent, False
    return sent, True


def status(sock):
    """The HTTP status code of the answer, or "closed"."""
    fields = peers.received(sock, lambda data: b"\r\n" in data).split(b" ")
    return fields[1].decode() if len(fields) > 1 else "closed"


def close_frame(data):
    """The code of the first WebSocket close frame in `data` ("close" without one), skipping the
    state messages the server pushes; None until one has come whole."""
    while len(data) >= 2:
        length, at = data[1] & 0x7F, 2
        if length > 125:
            at = 4 if length == 126 else 10
            length = int.from_bytes(data[2:at], "big")
        if len(data) < at + length:
            return None
        if data[0] & 0x0F == 0x8:
            return str(struct.unpack(">H", data[at:at + 2])[0]) if length >= 2 else "close"
        data = data[at + length:]
    return None


def oversize(host, port, kind):
    """A request larger than anything the server takes: what it answers."""
    sock = connect(host, port, timeout=15)
    sent = 0
    try:
        if kind == "scpi":
            for _ in range(64):
                sent += sock.send(b"X" * (1 << 20))
            sock.sendall(b"\n*IDN?\n")
            ready("answered" if sock.recv(4096) else "closed", sent)
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
            sent, whole = pour(sock, 1 << 20, b"X-Padding: " + b"a" * 1000 + b"\r\n")
            pour(sock, 2 if whole else 0, b"\r\n")  # the headers' end, once they all went
            ready(status(sock), sent)
        elif kind == "body":
            sock.sendall(b"POST /api/select HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n" % (256 << 20))
            ready(status(sock), sent)
        elif kind == "message":
            peers.websocket_handshake(sock)
            sock.sendall(peers.oversized_frame(0x1, 128 << 20))
            sent, _ = pour(sock, 128 << 20)
            ready(close_frame(peers.received(sock, close_frame, 65536)) or "closed", sent)
    except OSError as error:
        ready("error", type(error).__name__, sent)


def half_header(host, port):
    """Half a request, then silence: how long the server waits for the rest."""
    sock = connect(host, port, timeout=60)
    sock.sendall(b"GET /api/state HTTP/1.1\r\nHost: loc")
    start = time.monotonic()
    peers.received(sock, lambda data: data)
    ready(round(time.monotonic() - start, 1))


def drain(sock):
    """Reads and drops whatever comes, in the background, until the connection ends."""
    def run():
        try:
            while sock.recv(65536):
                pass
        except OSError:
            pass
    threading.Thread(target=run, daemon=True).start()


def websocket_pings(host, port):
    sock = connect(host, port)
    peers.websocket_handshake(sock)
    ping = bytes([0x89, 0x80]) + os.urandom(4)  # masked, empty
    return sock, [sock], ping * 4096


def stream_bytes(host, port, kind):
    """A peer that reads every answer and never pauses: the socket it sends
    on, the sockets to drain, and what it sends over and over."""
    if kind == "websocket":
        return websocket_pings(host, port)
    if kind == "hislip":
        sync, asyn = peers.hislip_session(host, port, timeout=5)
        asyn.sendall(peers.hislip_message(19))  # AsyncDeviceClear: overlapped, so that answers queue
        peers.hislip_read(asyn)
        sync.sendall(peers.hislip_message(8, 1))
        peers.hislip_read(sync)
        return sync, [sync, asyn], b"".join(peers.hislip_message(7, 0, (peers.HISLIP_FIRST_ID + 2 * i) & 0xFFFFFFFF, b"*IDN?") for i in range(2048))
    sock = connect(host, port)
    if kind == "vxi11":
        sock.sendall(peers.core_record(1, peers.CREATE_LINK, peers.create_link_arguments()))
        link = struct.unpack(">i", peers.rpc_results(peers.read_record(sock))[4:8])[0]
        write = peers.core_record(2, peers.DEVICE_WRITE, struct.pack(">iIII", link, 0, 0, peers.END_FLAG) + peers.opaque(b"*CLS"))
        return sock, [sock], write * 1024
    return sock, [sock], b"*IDN?\n" * 8192


def stream(host, port, kind):
    """Sends without a pause for as long as the attack lasts, taking every answer."""
    sock, drained, chunk = stream_bytes(host, port, kind)
    sock.settimeout(None)
    for each in drained:
        drain(each)
    stop = threading.Event()

    def send():
        try:
            while not stop.is_set():
                sock.sendall(chunk)
        except OSError:
            pass
    threading.Thread(target=send, daemon=True).start()
    ready("streaming")
    stop.set()


def hislip_locks(host, port, kind, megabytes):
    """While another session holds the lock, one session sends `megabytes` of
    lock requests that would wait a day ("lock"), or status queries naming
    messages it never sends ("status"), reading what comes back."""
    holder, holder_async = peers.hislip_session(host, port, timeout=5)
    holder_async.sendall(peers.hislip_message(4, 1, 0))  # AsyncLock, request
    granted = peers.hislip_read(holder_async)[1]
    sync, asyn = peers.hislip_session(host, port, timeout=5)
    sync.sendall(peers.hislip_message(7, 0, peers.HISLIP_FIRST_ID, b"*OPC?"))
    peers.hislip_read(sync)
    drain(asyn)
    if kind == "lock":
        piece = peers.hislip_message(4, 1, 86400000) * 4096
    else:
        piece = b"".join(peers.hislip_message(21, 0, (peers.HISLIP_FIRST_ID + 2 * i) & 0xFFFFFFFF) for i in range(2, 4098))
    asyn.settimeout(None)
    sent, _ = pour(asyn, int(megabytes) << 20, piece)
    ready(granted, sent)


def grant_to_reset(host, port, rounds):
    """The lock granted to a session whose connections were reset while it
    waited, `rounds` times: how many rounds the server answered after."""
    answered = 0
    for _ in range(int(rounds)):
        holder, holder_async = peers.hislip_session(host, port, timeout=5)
        holder_async.sendall(peers.hislip_message(4, 1, 0))
        peers.hislip_read(holder_async)
        sync, asyn = peers.hislip_session(host, port, timeout=5)
        asyn.sendall(peers.hislip_message(4, 1, 86400000) * 3)
        for sock in (sync, asyn):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
        holder_async.sendall(peers.hislip_message(4, 0, peers.HISLIP_FIRST_ID - 2))  # release
        try:
            peers.hislip_read(holder_async)
            answered += 1
        except OSError:
            break
        holder.close()
        holder_async.close()
    ready(answered)


def links(host, port, count):
    """Links asked for on one connection: how many the server made."""
    rpc = peers.RpcClient(host, port, timeout=5)
    made = 0
    for _ in range(int(count)):
        made += struct.unpack(">i", rpc.core(peers.CREATE_LINK, ">iII", 1234, 0, 0, data=b"inst0")[:4])[0] == 0
    ready(made)


def lock(host, port, kind):
    """Takes the switch's lock, then waits for its network to vanish."""
    if kind == "scpi":
        sock = connect(host, port)
        sock.sendall(b"SYST:LOCK:REQ?\n")
        return ready(sock.recv(100).decode().strip())
    rpc = peers.RpcClient(host, port, timeout=5)
    error = struct.unpack(">i", rpc.core(peers.CREATE_LINK, ">iII", 1234, 1, 0, data=b"inst0")[:4])[0]
    ready("1" if error == 0 else f"error {error}")


if __name__ == "__main__":
    {"idle": idle, "many": many, "flood": flood, "oversize": oversize, "half-header": half_header, "lock": lock,
     "stream": stream, "hislip-locks": hislip_locks, "grant-to-reset": grant_to_reset, "links": links}[sys.argv[1]](*sys.argv[2:])
