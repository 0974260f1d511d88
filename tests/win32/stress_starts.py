"""Starts Tastlink.exe many times in a row under wine64 with COM3 and COM12
present and counts what went wrong: starts that listed other ports than
the two (lost or invented), starts that crashed or ended on their own,
starts that refused with a report, and starts that changed COM12's lines
while looking at it. Every few starts the wineserver is ended first, so that
those starts are cold. Prints the counts; exits 1 if any is not 0.

Runs inside wine-namespace.sh, like test_windows.py:
  tests/win32/wine-namespace.sh python3 tests/win32/stress_starts.py 100 [cold-every]
with TASTLINK_WIN_BIN (the 64-bit build) and TASTLINK_INTERPOSER set."""
import mmap
import os
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_windows as tw  # noqa: E402  (the suite's wine helpers)

PORTS = (3, 12)


def define_ports():
    for n in PORTS:
        tw.inspect("define", str(n))


def one_start(env, state):
    """What became of one start: None if it went right, else a word."""
    state[:] = b"\0" * len(state)
    p = subprocess.Popen([tw.WINE, tw.RUN_EXE], env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 120
        shown = None
        while time.monotonic() < end and p.poll() is None:
            main = tw.inspect("main") or ""
            # Under wine the window is now and then seen visible, empty and
            # without a status, just before the start fills it: read it once
            # the start has said something.
            if "visible=1" in main and "\nlabel=\n" not in main:
                shown = dict(line.split("=", 1) for line in main.splitlines() if "=" in line)
                break
            box = tw.inspect("box")
            if box:
                print("  report: " + box.strip().replace("\n", " | "), file=sys.stderr)
                tw.inspect("ok")
                p.wait(60)
                return "refused"
            time.sleep(0.1)
        if shown is None:
            return "crashed" if p.poll() is not None else "hung"
        listed = shown.get("list", "")
        if listed != ",".join(map(str, PORTS)):
            time.sleep(1)
            print("  shown: %s; a second later: %s" % (shown, (tw.inspect("main") or "").replace("\n", " ")),
                  file=sys.stderr)
        # COM12 (the second port) is only looked at: its lines stay untouched.
        touched = struct.unpack("i", state[24:28])[0] & 6 or struct.unpack("I", state[32:36])[0]
        tw.inspect("close")
        rc = p.wait(60)
        if rc != 0:
            return "crashed"
        if listed != ",".join(map(str, PORTS)):
            return "lost" if len(listed.split(",")) < len(PORTS) else "invented"
        return "touched" if touched else None
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def stress(starts, cold_every=5):
    tw.setUpModule()
    ports = tw.Ports(PORTS)
    state_file = os.path.join(tw.BIN, "stress-modem-state")
    with open(state_file, "wb") as f:
        f.write(b"\0" * 20 * len(PORTS))
    state = mmap.mmap(os.open(state_file, os.O_RDWR), 20 * len(PORTS))
    env = dict(tw.ENV)
    if tw.INTERPOSER and os.path.exists(tw.INTERPOSER):
        env.update(LD_PRELOAD=tw.INTERPOSER, TASTLINK_MODEM_STATE=state_file,
                   TASTLINK_MODEM_PTY=":".join(os.readlink(link) for link in ports.links))
    counts = {w: 0 for w in ("lost", "invented", "crashed", "hung", "refused", "touched")}
    started = time.monotonic()
    try:
        for i in range(starts):
            if cold_every and i % cold_every == 0:
                subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=tw.ENV)
                subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=tw.ENV)
                # Started with nothing captured: the services it brings up
                # would hold a captured pipe open for good.
                subprocess.run([tw.WINE, tw.INSPECT, "main"], env=tw.ENV, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=300)
                define_ports()  # the names went with the server
            what = one_start(env, state)
            if what:
                counts[what] += 1
                print("start %d: %s" % (i + 1, what), file=sys.stderr)
    finally:
        ports.close()
        tw.tearDownModule()
    print("%d starts (%s cold) in %.0f s: " % (starts, "every %d." % cold_every if cold_every else "none",
                                               time.monotonic() - started) +
          ", ".join("%s %d" % kv for kv in counts.items()))
    return counts


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    every = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    sys.exit(1 if any(stress(n, every).values()) else 0)
