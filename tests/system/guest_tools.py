# What the guest's checks ask of the switch and of the system, as a bench
# script or an admin would: SCPI over the raw socket, VISA over VXI-11, the web
# page's API, and which devices a process can open. Usage:
#   guest_tools.py scpi COMMAND...         answers, one line each
#   guest_tools.py visa RESOURCE COMMAND... answers through PyVISA (pyvisa-py)
#   guest_tools.py http URL                the body (JSON with its keys sorted)
#   guest_tools.py devices                 every device node this process opens
# Exits 1, saying why, where an answer does not come.
import json
import os
import socket
import stat
import sys
import urllib.request

HOST = "127.0.0.1"
SCPI_PORT = 5025


def scpi(*commands):
    with socket.create_connection((HOST, SCPI_PORT), timeout=10) as link:
        stream = link.makefile("rwb")
        for command in commands:
            stream.write(command.encode() + b"\n")
            stream.flush()
            if "?" in command:
                print(stream.readline().decode().rstrip("\n"))


def visa(resource, *commands):
    import pyvisa
    switch = pyvisa.ResourceManager("@py").open_resource(resource, read_termination="\n", write_termination="\n",
                                                         timeout=10000)
    for command in commands:
        print(switch.query(command) if "?" in command else switch.write(command))
    switch.close()


def http(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        body = response.read().decode()
        print(json.dumps(json.loads(body), sort_keys=True) if response.headers.get_content_type() == "application/json" else body)


def devices():
    """Opens every device node read-only (a parallel port read-write, as the
    service does) without becoming its controlling terminal."""
    for folder, _, names in os.walk("/dev"):
        for name in sorted(names):
            path = os.path.join(folder, name)
            mode = os.lstat(path).st_mode
            # Opening a watchdog arms it: never tried.
            if not (stat.S_ISCHR(mode) or stat.S_ISBLK(mode)) or "watchdog" in name:
                continue
            access = os.O_RDWR if name.startswith("parport") else os.O_RDONLY
            try:
                os.close(os.open(path, access | os.O_NONBLOCK | os.O_NOCTTY))
                print(path)
            except OSError:
                pass


if __name__ == "__main__":
    what = sys.argv[1]
    try:
        {"scpi": scpi, "visa": visa, "http": http, "devices": devices}[what](*sys.argv[2:])
    except Exception as error:  # the check reports it, whatever it is, an unknown request among them
        sys.exit(f"{what}: {type(error).__name__}: {error}")
