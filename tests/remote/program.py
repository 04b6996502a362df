"""The program under test as a server: started with its arguments, its lines
read as it prints them, stopped as systemd stops it (SIGTERM)."""
import os
import select
import subprocess
import sys
import time

LINE_TIMEOUT = 30  # seconds for a line the program is expected to print


class Program:
    def __init__(self, command):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE)
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

    def stop(self):
        """Stops it and returns its exit code."""
        self.process.terminate()
        return self.process.wait(LINE_TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
