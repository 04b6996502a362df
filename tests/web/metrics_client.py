"""GET /metrics of the program itself, as Prometheus scrapes it: every
answer passes `promtool check metrics`, and after a web client, a SCPI
client that queues an error and takes the lock, and a refused selection,
the samples say so. Usage: metrics_client.py PROGRAM"""
import shutil
import socket
import subprocess
import sys

from web_program import curl, expect, serving

if not shutil.which("promtool"):
    print("promtool (Debian's prometheus) is not installed: skipped")
    sys.exit(77)


def scrape(url, wanted):
    """One scrape, once promtool passed it: its samples named in `wanted`, by name and labels, must have those values."""
    code, text = curl(url + "metrics")
    checked = subprocess.run(["promtool", "check", "metrics"], input=text + "\n", capture_output=True, text=True)
    if code != 200 or checked.returncode != 0:
        sys.exit(f"/metrics: {code}, promtool: {checked.stdout}{checked.stderr}\n{text}")
    samples = dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))
    expect(f"/metrics of\n{text}\n", {sample: samples.get(sample) for sample in wanted}, wanted)


program = sys.argv[1:]
with serving(program, "--simulate") as (scpi, url, _):
    scrape(url, {'rfswitch_path{path="off"}': "1", 'rfswitch_path{path="rf1"}': "0", 'rfswitch_path{path="unknown"}': "0",
                         'rfswitch_lock_held': "0", 'rfswitch_clients{server="scpi-raw"}': "0", 'rfswitch_clients{server="http"}': "1",
                         'rfswitch_port_simulated': "1"})

    curl(url + "api/select", "-d", "rf1")
    with socket.create_connection(("127.0.0.1", int(scpi))) as client:
        client.sendall(b"FOO\nSYST:LOCK:REQ?;ROUT:CLOS (@2);*OPC?\n")
        expect("the SCPI client's answer", client.makefile("rb").readline(), b"1;1\n")
        holder = "remote:127.0.0.1:%d" % client.getsockname()[1]
        curl(url + "api/select", "-d", "off")  # refused: the SCPI client holds the lock
        scrape(url, {'rfswitch_operations_total{source="http",result="verified"}': "1",
                             'rfswitch_operations_total{source="scpi-raw",result="verified"}': "1",
                             'rfswitch_operations_total{source="http",result="not-written"}': "1",
                             'rfswitch_path{path="rf1"}': "0", 'rfswitch_path{path="rf2"}': "1",
                             'rfswitch_clients{server="scpi-raw"}': "1", 'rfswitch_errors_queued{server="scpi-raw"}': "1",
                             'rfswitch_lock_held': "1", 'rfswitch_lock_holder{holder="%s"}' % holder: "1"})

    code, headers = curl(url + "metrics", "-I")
    expect(f"HEAD /metrics:\n{headers}\n", (code, "content-type: text/plain; version=0.0.4; charset=utf-8" in headers.lower()), (200, True))
print("every scrape passed promtool and counted what the clients did")
