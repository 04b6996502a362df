"""The panel's start-up against an earlier panel's, built beside it: how late
each maps its window after it is started, and its peak resident memory by
then, under one private Xvfb, alternating, the median of each.

    startup_bench.py PANEL OLD_PANEL [RUNS]   (the launchers, rfswitch-panel)

Each is started with --simulate on an address no machine has a port at, in
a state folder of its own; its window's mapping is seen as the X server
reports it (xev on the root window). Exits 77 (skipped) where Xvfb or xev is
missing."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TIME_GOAL, MEMORY_GOAL = 1.15, 1.5  # times as late, MiB more


def xvfb():
    """A private X server: its display and process."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as displays:
        return ":" + displays.readline().strip(), server


class Maps:
    """The X server's MapNotify events on the root window, as they come."""

    def __init__(self, display):
        self.process = subprocess.Popen(["stdbuf", "-oL", "xev", "-root", "-event", "substructure"], stdout=subprocess.PIPE,
                                        text=True, env=dict(os.environ, DISPLAY=display))
        self.seen = threading.Condition()
        self.count = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            if line.startswith("MapNotify"):
                with self.seen:
                    self.count += 1
                    self.seen.notify_all()

    def wait_beyond(self, count, timeout=20):
        with self.seen:
            return self.seen.wait_for(lambda: self.count > count, timeout)


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def start_up(program, display, maps, state):
    """Seconds until the window is mapped, and peak memory in KiB then."""
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", XDG_STATE_HOME=state, XDG_RUNTIME_DIR=state)
    count = maps.count
    begin = time.monotonic()
    process = subprocess.Popen([program, "--simulate", "--port", "4096"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not maps.wait_beyond(count):
            sys.exit(f"{program} mapped no window within 20 s")
        mapped = time.monotonic() - begin
        time.sleep(0.3)  # what it does right after showing counts too
        return mapped, peak_kib(process.pid)
    finally:
        process.kill()
        process.wait()


def main():
    if not all(shutil.which(tool) for tool in ("Xvfb", "xev", "stdbuf")):
        print("startup_bench: Xvfb or xev missing: skipped")
        sys.exit(77)
    panel, old = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    display, server = xvfb()
    maps = Maps(display)
    times, peaks = {panel: [], old: []}, {panel: [], old: []}
    try:
        with tempfile.TemporaryDirectory() as state:
            for _ in range(runs):
                for program in (old, panel):
                    mapped, peak = start_up(program, display, maps, state)
                    times[program].append(mapped)
                    peaks[program].append(peak)
    finally:
        maps.process.kill()
        server.kill()
    t, t0 = statistics.median(times[panel]), statistics.median(times[old])
    m, m0 = statistics.median(peaks[panel]) / 1024, statistics.median(peaks[old]) / 1024
    print(f"panel start-up against {os.path.basename(os.path.dirname(os.path.dirname(os.path.abspath(old))))}'s, median of {runs} each, alternating, under Xvfb:")
    print(f"  window mapped after {t * 1000:.0f} ms against {t0 * 1000:.0f} ms: {t / t0:.2f}x (goal <= {TIME_GOAL}x): "
          f"{'holds' if t <= TIME_GOAL * t0 else 'MISSED'}")
    print(f"  peak resident memory {m:.1f} MiB against {m0:.1f} MiB: {m - m0:+.1f} MiB (goal <= +{MEMORY_GOAL} MiB): "
          f"{'holds' if m - m0 <= MEMORY_GOAL else 'MISSED'}")


if __name__ == "__main__":
    main()
