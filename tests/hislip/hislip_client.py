"""A small HiSLIP client for the tests, written from the IVI-6.1 message
table: the synchronous and asynchronous channels of one session, Data and
DataEND with message ids, status queries, locks, and StartTLS/EndTLS
(HiSLIP 2.0) on Python's ssl module. Every message sent or received is
recorded, so that a test can compare them with what tshark decodes."""
import collections
import select
import socket
import ssl
import struct

# Message types, their number the place in the list, 0 to 33.
TYPES = """
    Initialize InitializeResponse FatalError Error AsyncLock AsyncLockResponse Data DataEnd
    DeviceClearComplete DeviceClearAcknowledge AsyncRemoteLocalControl AsyncRemoteLocalResponse Trigger
    Interrupted AsyncInterrupted AsyncMaximumMessageSize AsyncMaximumMessageSizeResponse
    AsyncInitialize AsyncInitializeResponse AsyncDeviceClear AsyncServiceRequest AsyncStatusQuery
    AsyncStatusResponse AsyncDeviceClearAcknowledge AsyncLockInfo AsyncLockInfoResponse
    GetDescriptors GetDescriptorsResponse StartTLS AsyncStartTLS AsyncStartTLSResponse
    EndTLS AsyncEndTLS AsyncEndTLSResponse""".split()
HEADER = struct.Struct(">2sBBIQ")
FIRST_MESSAGE_ID = 0xFFFFFF00
TIMEOUT = 10  # seconds for any one answer

Message = collections.namedtuple("Message", "name control parameter payload")


class ProtocolError(Exception):
    pass


class Channel:
    """One TCP connection of a session; `log` gets (channel, direction, type name) per message."""

    def __init__(self, host, port, name, log):
        self.sock = socket.create_connection((host, port), timeout=TIMEOUT)
        self.name, self.log = name, log
        self.buffer = b""

    def send(self, name, control=0, parameter=0, payload=b""):
        self.sock.sendall(HEADER.pack(b"HS", TYPES.index(name), control, parameter, len(payload)) + payload)
        self.log.append((self.name, "sent", name))

    def ask(self, name, answer, control=0, parameter=0, payload=b""):
        """Sends a message; the answer, of type `answer`."""
        self.send(name, control, parameter, payload)
        return self.expect(answer)

    def _fill(self, timeout):
        pending = isinstance(self.sock, ssl.SSLSocket) and self.sock.pending()
        if not pending and not select.select([self.sock], [], [], timeout)[0]:
            return False
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError(f"{self.name} channel closed by the server")
        self.buffer += chunk
        return True

    def expect(self, *names, timeout=TIMEOUT):
        """The next message, which must be one of `names`."""
        while len(self.buffer) < HEADER.size or len(self.buffer) < HEADER.size + HEADER.unpack_from(self.buffer)[4]:
            if not self._fill(timeout):
                raise ProtocolError(f"{self.name}: nothing came; expected {'/'.join(names)}")
        prologue, kind, control, parameter, length = HEADER.unpack_from(self.buffer)
        if prologue != b"HS":
            raise ProtocolError(f"{self.name}: no HS prologue: {self.buffer[:16]!r}")
        message = Message(TYPES[kind] if kind < len(TYPES) else f"type{kind}", control, parameter, self.buffer[HEADER.size:HEADER.size + length])
        self.buffer = self.buffer[HEADER.size + length:]
        self.log.append((self.name, "received", message.name))
        if message.name not in names:
            raise ProtocolError(f"{self.name}: expected {'/'.join(names)}, got {message}")
        return message

    def wrap(self, wrap, why):
        """The connection wrapped (TLS started or ended) with nothing of it left unread."""
        if self.buffer:
            raise ProtocolError(f"{self.name}: bytes left before {why}: {self.buffer!r}")
        self.sock = wrap(self.sock)

    def closed(self):
        """Whether the server closes this connection (with nothing more sent)."""
        try:
            return self.sock.recv(1) == b""
        except ConnectionError:
            return True


class Session:
    def __init__(self, host, port, log, version=0x0200, subaddress=b"hislip0", vendor=b"PY"):
        self.sync = Channel(host, port, "sync", log)
        self.sync.send("Initialize", 0, version << 16 | struct.unpack(">H", vendor)[0], subaddress)
        reply = self.sync.expect("InitializeResponse", "FatalError")
        if reply.name == "FatalError":
            raise ProtocolError(f"Initialize refused: {reply.payload.decode()}")
        self.version, self.id = reply.parameter >> 16, reply.parameter & 0xFFFF
        self.initialize_control = reply.control
        self.asyn = Channel(host, port, "async", log)
        self.secure_offered = bool(self.asyn.ask("AsyncInitialize", "AsyncInitializeResponse", 0, self.id).control & 1)
        size = self.asyn.ask("AsyncMaximumMessageSize", "AsyncMaximumMessageSizeResponse", payload=struct.pack(">Q", 1 << 20))
        self.server_max = struct.unpack(">Q", size.payload)[0]
        self.next_id, self.last_id = FIRST_MESSAGE_ID, None
        self.rmt = False  # the last response was read whole: said with the next message

    def write(self, text):
        """Sends `text` as one DataEnd; returns its message id."""
        self.sync.send("DataEnd", 1 if self.rmt else 0, self.next_id, text.encode())
        self.last_id, self.rmt, self.next_id = self.next_id, False, (self.next_id + 2) & 0xFFFFFFFF
        return self.last_id

    def read(self, timeout=TIMEOUT):
        """A whole response: (message id, text)."""
        parts = []
        while True:
            message = self.sync.expect("Data", "DataEnd", timeout=timeout)
            parts.append(message.payload)
            if message.name == "DataEnd":
                self.rmt = True
                return message.parameter, b"".join(parts).decode()

    def query(self, text):
        sent = self.write(text)
        got, answer = self.read()
        if got != sent:
            raise ProtocolError(f"{text!r}: answer for message {got:#x}, sent {sent:#x}")
        return answer.rstrip("\n")

    def status(self):
        """The status byte through the asynchronous channel."""
        return self.asyn.ask("AsyncStatusQuery", "AsyncStatusResponse", 1 if self.rmt else 0, self.last_id or 0).control

    def lock(self, name=b"", timeout_ms=0, wait=True):
        """The answer's control code; with wait=False read it later with asyn.expect."""
        self.asyn.send("AsyncLock", 1, timeout_ms, name)
        return self.asyn.expect("AsyncLockResponse").control if wait else None

    def unlock(self):
        return self.asyn.ask("AsyncLock", "AsyncLockResponse", 0, self.last_id or 0).control

    def lock_info(self):
        """Whether an exclusive lock is held, and by how many sessions a lock is."""
        reply = self.asyn.ask("AsyncLockInfo", "AsyncLockInfoResponse")
        return reply.control, reply.parameter

    def _tls(self, start, wrap):
        reply = self.asyn.ask(f"Async{start}", f"Async{start}Response", 1 if self.rmt else 0, self.last_id or 0)
        if reply.control != 1:
            raise ProtocolError(f"Async{start} refused: {reply}")
        self.asyn.wrap(wrap, start)
        self.sync.send(start, 1 if self.rmt else 0, self.last_id or 0)
        self.sync.wrap(wrap, start)

    def start_tls(self, context):
        self._tls("StartTLS", lambda sock: context.wrap_socket(sock, server_hostname="localhost"))

    def end_tls(self):
        self._tls("EndTLS", lambda sock: sock.unwrap())

    def close(self):
        self.asyn.sock.close()
        self.sync.sock.close()
