# Well-behaved clients of every listener the program opens, and the raw
# pieces the attacks are made of: enough of ONC RPC for VXI-11 and the port
# mapper, HTTP and the WebSocket handshake, written from the protocols'
# definitions so that the test depends on nothing of the program's own.
import base64
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from program import ask  # noqa: E402

ANSWER_WITHIN = 1.0  # seconds a well-behaved client waits for its answer

# ONC RPC: a call, and the programs VXI-11 clients talk to.
PORTMAPPER, PORTMAPPER_VERSION, GETPORT = 100000, 2, 3
VXI11_CORE, VXI11_CORE_VERSION = 0x0607AF, 1
VXI11_ASYNC, VXI11_ASYNC_VERSION = 0x0607B0, 1
CREATE_LINK, DEVICE_WRITE, DEVICE_READ, DESTROY_LINK = 10, 11, 12, 23
END_FLAG = 0x08
LAST_FRAGMENT = 0x80000000


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def record(program, version, xid, procedure, arguments=b""):
    """A call (RPC version 2, AUTH_NONE twice) as one record."""
    call = struct.pack(">10I", xid, 0, 2, program, version, procedure, 0, 0, 0, 0) + arguments
    return struct.pack(">I", LAST_FRAGMENT | len(call)) + call


def core_record(xid, procedure, arguments):
    """A call of VXI-11's core channel, as a record."""
    return record(VXI11_CORE, VXI11_CORE_VERSION, xid, procedure, arguments)


def read_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def received(sock, enough, size=4096):
    """What arrives until `enough(data)` holds or the connection ends."""
    data = b""
    try:
        while not enough(data) and (chunk := sock.recv(size)):
            data += chunk
    except OSError:
        pass
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
    _, direction, status, _, length = struct.unpack(">5I", reply[:20])
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
        self.sock.sendall(record(program, version, self.xid, procedure, arguments))
        return rpc_results(read_record(self.sock))

    def core(self, procedure, form, *words, data=None):
        """A call of VXI-11's core channel: the arguments packed by `form`, opaque `data` after them."""
        return self.call(VXI11_CORE, VXI11_CORE_VERSION, procedure, struct.pack(form, *words) + (b"" if data is None else opaque(data)))

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.sock.close()


def create_link_arguments(lock=False, lock_timeout=0):
    return struct.pack(">iII", 1234, int(lock), lock_timeout) + opaque(b"inst0")


def vxi11_query(host, port, command):
    """create_link, device_write, device_read, destroy_link: the answer."""
    with RpcClient(host, port) as rpc:
        error, link, abort_port = struct.unpack(">iiI", rpc.core(CREATE_LINK, ">iII", 1234, 0, 0, data=b"inst0")[:12])
        if error:
            raise ConnectionError(f"create_link error {error}")
        rpc.core(DEVICE_WRITE, ">iIII", link, 1000, 0, END_FLAG, data=command.encode())
        reply = rpc.core(DEVICE_READ, ">iIIIIi", link, 4096, 1000, 0, 0, 0)
        error, reason, length = struct.unpack(">iII", reply[:12])
        if error:
            raise ConnectionError(f"device_read error {error}")
        rpc.core(DESTROY_LINK, ">i", link)
        return reply[12:12 + length].decode(), abort_port


def getport(host, program=VXI11_CORE, version=VXI11_CORE_VERSION):
    with RpcClient(host, 111) as rpc:
        return struct.unpack(">I", rpc.call(PORTMAPPER, PORTMAPPER_VERSION, GETPORT, struct.pack(">4I", program, version, 6, 0))[:4])[0]


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
    asyn = socket.create_connection((host, port), timeout=timeout)
    asyn.sendall(hislip_message(17, 0, hislip_read(sync)[2] & 0xFFFF))  # AsyncInitialize with the session's id
    hislip_read(asyn)
    return sync, asyn


def hislip_query(host, port, command="*IDN?"):
    sync, asyn = hislip_session(host, port)
    with sync, asyn:
        sync.sendall(hislip_message(7, 0, HISLIP_FIRST_ID, command.encode()))  # DataEnd
        kind, _, _, payload = hislip_read(sync)
        if kind != 7:
            raise ConnectionError(f"HiSLIP message type {kind} in place of DataEnd")
        return payload.decode().strip()


def http_get(host, port, path="/api/state"):
    with socket.create_connection((host, port), timeout=ANSWER_WITHIN) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode())
        answer = b"".join(iter(lambda: sock.recv(65536), b""))
    if b" 200 " not in answer.split(b"\r\n", 1)[0]:
        raise ConnectionError(f"GET {path}: {answer[:60]!r}")
    return answer


def websocket_handshake(sock, path="/api/events"):
    """What came after the server's 101 answer."""
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET {path} HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    data = received(sock, lambda data: b"\r\n\r\n" in data)
    if b" 101 " not in data.split(b"\r\n", 1)[0] or b"\r\n\r\n" not in data:
        raise ConnectionError(f"no upgrade: {data[:60]!r}")
    return data.partition(b"\r\n\r\n")[2]


def websocket_first_message(host, port):
    """The state the server pushes to a page that starts following."""
    with socket.create_connection((host, port), timeout=ANSWER_WITHIN) as sock:
        data = websocket_handshake(sock)
        while len(data) < 2 or len(data) < 2 + (data[1] & 0x7F if data[1] & 0x7F < 126 else 2):
            data += sock.recv(4096)
        return data


def oversized_frame(opcode, declared):
    """A client frame that claims `declared` bytes, more than 65535, none of which follow yet."""
    return bytes([0x80 | opcode, 0x80 | 127]) + struct.pack(">Q", declared) + os.urandom(4)
