"""The program under test with its web page, read with curl as a script
would."""
import contextlib
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from program import NO_PORT, Program, ask, expect  # noqa: E402,F401  (what the web tests take from here)


def curl(url, *options, parse=False):
    """The status code and the body, parsed as JSON where asked."""
    out = subprocess.run(["curl", "-sS", "-w", "\n%{http_code}", *options, url], capture_output=True, text=True, check=True).stdout
    body, _, code = out.rpartition("\n")
    return int(code), json.loads(body) if parse else body


@contextlib.contextmanager
def serving(program, *options):
    """The SCPI port, the page's URL and HiSLIP's port of the program, headless, while it runs."""
    with Program([*program, "--headless", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--port", str(NO_PORT), *options]) as served:
        yield served.port("listening on "), served.line("web page on ").split()[-1], served.port("HiSLIP on ")
