"""GET /metrics of the program itself, as Prometheus scrapes it: every
answer passes `promtool check metrics`, and after a web client, a SCPI
client that queues an error and takes the lock, and a refused selection,
the samples say so. Usage: metrics_client.py PROGRAM"""
import shutil
import socket
import subprocess
import sys

from web_program import curl, serving

if not shutil.which("promtool"):
    print("promtool (Debian's prometheus) is not installed: skipped")
    sys.exit(77)


def scrape(url):
    """The samples of one scrape, by name and labels, once promtool passed it."""
    code, text = curl(url + "metrics")
    checked = subprocess.run(["promtool", "check", "metrics"], input=text + "\n", capture_output=True, text=True)
    if code != 200 or checked.returncode != 0:
        sys.exit(f"/metrics: {code}, promtool: {checked.stdout}{checked.stderr}\n{text}")
    return dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))


def expect(samples, wanted):
    for sample, value in wanted.items():
        if samples.get(sample) != value:
            sys.exit(f"/metrics: expected {sample} {value}, got {samples.get(sample)!r} in:\n{samples}")


program = sys.argv[1:]
with serving(program, "--simulate") as (scpi, url, _):
    expect(scrape(url), {'rfswitch_path{path="off"}': "1", 'rfswitch_path{path="rf1"}': "0", 'rfswitch_path{path="unknown"}': "0",
                         'rfswitch_lock_held': "0", 'rfswitch_clients{server="scpi-raw"}': "0", 'rfswitch_clients{server="http"}': "1",
                         'rfswitch_port_simulated': "1"})

    curl(url + "api/select", "-d", "rf1")
    with socket.create_connection(("127.0.0.1", int(scpi))) as client:
        client.sendall(b"FOO\nSYST:LOCK:REQ?;ROUT:CLOS (@2);*OPC?\n")
        answer = client.makefile("rb").readline()
        if answer != b"1;1\n":
            sys.exit(f"the SCPI client: expected b'1;1\\n', got {answer!r}")
        holder = "remote:127.0.0.1:%d" % client.getsockname()[1]
        curl(url + "api/select", "-d", "off")  # refused: the SCPI client holds the lock
        expect(scrape(url), {'rfswitch_operations_total{source="http",result="verified"}': "1",
                             'rfswitch_operations_total{source="scpi-raw",result="verified"}': "1",
                             'rfswitch_operations_total{source="http",result="not-written"}': "1",
                             'rfswitch_path{path="rf1"}': "0", 'rfswitch_path{path="rf2"}': "1",
                             'rfswitch_clients{server="scpi-raw"}': "1", 'rfswitch_errors_queued{server="scpi-raw"}': "1",
                             'rfswitch_lock_held': "1", 'rfswitch_lock_holder{holder="%s"}' % holder: "1"})

    code, headers = curl(url + "metrics", "-I")
    if code != 200 or "content-type: text/plain; version=0.0.4; charset=utf-8" not in headers.lower():
        sys.exit(f"HEAD /metrics: {code}\n{headers}")
print("every scrape passed promtool and counted what the clients did")
