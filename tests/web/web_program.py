"""The program under test with its web page, read with curl as a script
would."""
import contextlib
import subprocess
import sys

NO_PORT = 4096  # no machine has a parallel port there: the simulated one stands in


def expect(what, got, wanted):
    if got != wanted:
        sys.exit(f"{what}: expected {wanted!r}, got {got!r}")


def curl(url, *options):
    """The status code and the body."""
    out = subprocess.run(["curl", "-sS", "-w", "\n%{http_code}", *options, url], capture_output=True, text=True, check=True).stdout
    body, _, code = out.rpartition("\n")
    return int(code), body


@contextlib.contextmanager
def serving(program, *options):
    """The SCPI port, the page's URL and HiSLIP's port of the program, headless, while it runs."""
    process = subprocess.Popen([*program, "--headless", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--port", str(NO_PORT), *options],
                               stdout=subprocess.PIPE, text=True)
    try:
        said = {}
        while len(said) < 3:  # among the lines saying how the switch is reached
            line = process.stdout.readline()
            for start in ("listening on ", "web page on ", "HiSLIP on "):
                if line.startswith(start):
                    said[start] = line[len(start):].strip()
        yield (said["listening on "].rsplit(":", 1)[1], said["web page on "],
               said["HiSLIP on "].split(":")[1])
    finally:
        process.terminate()
        process.wait()
