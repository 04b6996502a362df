"""Well-behaved clients of every listener the program opens, and the raw
pieces the attacks are made of: enough of ONC RPC for VXI-11 and the port
mapper, HTTP and the WebSocket handshake, written from the protocols'
definitions so that the test depends on nothing of the program's own."""
import base64
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from program import ask  # noqa: E402

ANSWER_WITHIN = 1.0  # seconds a well-behaved client waits for its answer

# ONC RPC: a call, and the programs VXI-11 clients talk to.
RPC_CALL, RPC_VERSION = 0, 2
PORTMAPPER, PORTMAPPER_VERSION, GETPORT = 100000, 2, 3
VXI11_CORE, VXI11_CORE_VERSION = 0x0607AF, 1
VXI11_ASYNC, VXI11_ASYNC_VERSION = 0x0607B0, 1
CREATE_LINK, DEVICE_WRITE, DEVICE_READ, DESTROY_LINK = 10, 11, 12, 23
END_FLAG = 0x08
LAST_FRAGMENT = 0x80000000


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def rpc_call(xid, program, version, procedure, arguments=b""):
    # No credentials, no verifier: AUTH_NONE twice.
    return struct.pack(">IIIIIIIIII", xid, RPC_CALL, RPC_VERSION, program, version, procedure, 0, 0, 0, 0) + arguments


def record(message):
    return struct.pack(">I", LAST_FRAGMENT | len(message)) + message


def core_record(xid, procedure, arguments):
    """A call of VXI-11's core channel, as a record."""
    return record(rpc_call(xid, VXI11_CORE, VXI11_CORE_VERSION, procedure, arguments))


def read_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def read_record(sock):
    message = b""
    while True:
        mark = struct.unpack(">I", read_exactly(sock, 4))[0]
        message += read_exactly(sock, mark & ~LAST_FRAGMENT)
        if mark & LAST_FRAGMENT:
            return message


def rpc_results(reply):
    """The results of an accepted, successful reply (xid, REPLY, MSG_ACCEPTED, verifier, SUCCESS)."""
    xid, direction, status = struct.unpack(">III", reply[:12])
    flavour, length = struct.unpack(">II", reply[12:20])
    at = 20 + length + (-length % 4)
    accepted = struct.unpack(">I", reply[at:at + 4])[0]
    if direction != 1 or status != 0 or accepted != 0:
        raise ConnectionError(f"RPC call not accepted ({status}, {accepted})")
    return reply[at + 4:]


class RpcClient:
    def __init__(self, host, port, timeout=ANSWER_WITHIN):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.xid = 1

    def call(self, program, version, procedure, arguments=b""):
        self.xid += 1
        self.sock.sendall(record(rpc_call(self.xid, program, version, procedure, arguments)))
        return rpc_results(read_record(self.sock))

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.sock.close()


def create_link_arguments(lock=False, lock_timeout=0):
    return struct.pack(">iII", 1234, int(lock), lock_timeout) + opaque(b"inst0")


def vxi11_query(host, port, command):
    """create_link, device_write, device_read, destroy_link: the answer."""
    with RpcClient(host, port) as rpc:
        error, link, abort_port, _ = struct.unpack(">iiII", rpc.call(VXI11_CORE, VXI11_CORE_VERSION, CREATE_LINK,
                                                                      create_link_arguments())[:16])
        if error:
            raise ConnectionError(f"create_link error {error}")
        rpc.call(VXI11_CORE, VXI11_CORE_VERSION, DEVICE_WRITE,
                 struct.pack(">iIII", link, 1000, 0, END_FLAG) + opaque(command.encode()))
        reply = rpc.call(VXI11_CORE, VXI11_CORE_VERSION, DEVICE_READ, struct.pack(">iIIIIi", link, 4096, 1000, 0, 0, 0))
        error, reason, length = struct.unpack(">iII", reply[:12])
        if error:
            raise ConnectionError(f"device_read error {error}")
        rpc.call(VXI11_CORE, VXI11_CORE_VERSION, DESTROY_LINK, struct.pack(">i", link))
        return reply[12:12 + length].decode(), abort_port


def getport(host, program=VXI11_CORE, version=VXI11_CORE_VERSION):
    with RpcClient(host, 111) as rpc:
        return struct.unpack(">I", rpc.call(PORTMAPPER, PORTMAPPER_VERSION, GETPORT,
                                            struct.pack(">IIII", program, version, 6, 0))[:4])[0]


def scpi_query(host, port, command="*IDN?"):
    return ask(port, command, host, ANSWER_WITHIN)


HISLIP_HEADER = struct.Struct(">2sBBIQ")
HISLIP_FIRST_ID = 0xFFFFFF00


def hislip_message(kind, control=0, parameter=0, payload=b""):
    return HISLIP_HEADER.pack(b"HS", kind, control, parameter, len(payload)) + payload


def hislip_read(sock):
    """(type, control, parameter, payload) of the next message."""
    _, kind, control, parameter, length = HISLIP_HEADER.unpack(read_exactly(sock, HISLIP_HEADER.size))
    return kind, control, parameter, read_exactly(sock, length)


def hislip_session(host, port, timeout=ANSWER_WITHIN):
    """A HiSLIP 2.0 session's synchronous and asynchronous channels."""
    sync = socket.create_connection((host, port), timeout=timeout)
    sync.sendall(hislip_message(0, 0, 0x0200 << 16 | 0x5058, b"hislip0"))  # Initialize
    session = hislip_read(sync)[2] & 0xFFFF
    asyn = socket.create_connection((host, port), timeout=timeout)
    asyn.sendall(hislip_message(17, 0, session))  # AsyncInitialize
    hislip_read(asyn)
    return sync, asyn


def hislip_query(host, port, command="*IDN?"):
    sync, asyn = hislip_session(host, port)
    try:
        sync.sendall(hislip_message(7, 0, HISLIP_FIRST_ID, command.encode()))  # DataEnd
        kind, _, _, payload = hislip_read(sync)
        if kind != 7:
            raise ConnectionError(f"HiSLIP message type {kind} in place of DataEnd")
        return payload.decode().strip()
    finally:
        sync.close()
        asyn.close()


def http_get(host, port, path="/api/state"):
    with socket.create_connection((host, port), timeout=ANSWER_WITHIN) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode())
        answer = b"".join(iter(lambda: sock.recv(65536), b""))
    if b" 200 " not in answer.split(b"\r\n", 1)[0]:
        raise ConnectionError(f"GET {path}: {answer[:60]!r}")
    return answer


def websocket_handshake(sock, path="/api/events"):
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET {path} HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed during the handshake")
        data += chunk
    if b" 101 " not in data.split(b"\r\n", 1)[0]:
        raise ConnectionError(f"no upgrade: {data[:60]!r}")
    return data.partition(b"\r\n\r\n")[2]


def websocket_first_message(host, port):
    """The state the server pushes to a page that starts following."""
    with socket.create_connection((host, port), timeout=ANSWER_WITHIN) as sock:
        data = websocket_handshake(sock)
        while len(data) < 2 or len(data) < 2 + (data[1] & 0x7F if data[1] & 0x7F < 126 else 2):
            data += sock.recv(4096)
        return data


def masked_frame(opcode, payload, declared=None):
    """A client frame; `declared` claims a length other than the payload's."""
    length = len(payload) if declared is None else declared
    head = bytes([0x80 | opcode])
    if length < 126:
        head += bytes([0x80 | length])
    elif length < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", length)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", length)
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
