# The program under test as a server: started with its arguments, its lines
# read as it prints them, stopped as systemd stops it (SIGTERM); and what
# every test of it asks: one SCPI line on a connection of its own, a
# comparison that ends the test, a client library that may be missing.
import importlib
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

LINE_TIMEOUT = 30  # seconds for a line the program is expected to print
NO_PORT = 4096  # no machine has a parallel port there: the simulated one stands in


def expect(what, got, wanted):
    if got != wanted:
        sys.exit(f"{what}: expected {wanted!r}, got {got!r}")


def refused(what, attempt, *errors):
    """The error `attempt()` raised, one of `errors`; ends the test where it raised none."""
    try:
        attempt()
    except errors as error:
        return error
    sys.exit(f"{what}: not refused")


def ask(port, line, host="127.0.0.1", timeout=10):
    """The answer to one SCPI line, without its line end."""
    with socket.create_connection((host, port), timeout=timeout) as client:
        client.sendall(line.encode() + b"\n")
        answer = client.makefile("rb").readline()
    if not answer.endswith(b"\n"):
        raise ConnectionError(f"{line}: the connection closed")
    return answer.decode().strip()


def need(*modules):
    """Imports the client libraries a test drives the program with; exits 77 (skipped) without them."""
    try:
        return [importlib.import_module(module) for module in modules]
    except ImportError as error:
        print(f"{error.name} not available: skipped")
        sys.exit(77)


class Program:
    def __init__(self, command, **popen):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, **popen)
        self.lines = []
        self.pending = b""

    def line(self, prefix):
        """The first line that starts with `prefix`, waiting for it."""
        deadline = time.monotonic() + LINE_TIMEOUT
        while True:
            for line in self.lines:
                if line.startswith(prefix):
                    return line
            left = deadline - time.monotonic()
            ready = left > 0 and select.select([self.process.stdout], [], [], left)[0]
            chunk = os.read(self.process.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                sys.exit(f"no line starting {prefix!r}; the program printed {self.lines}")
            *complete, self.pending = (self.pending + chunk).split(b"\n")
            self.lines += [line.decode() for line in complete]

    def port(self, prefix):
        """The port of the first HOST:PORT in the line that starts with `prefix`."""
        return int(re.search(r":(\d+)(?=[/:\s]|$)", self.line(prefix))[1])

    def stop(self, how=signal.SIGTERM):
        """Stops it and returns its exit code."""
        self.process.send_signal(how)
        return self.process.wait(LINE_TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
