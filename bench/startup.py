"""Start-up and whole-program idle figures, one line each.

Linux: tastlink-sim (the program with simulated ports) announces on stderr
when its first window is shown; measured from just before the process is
spawned. Windows: Tastlink.exe under wine64 in a private mount namespace,
until its window exists on the X server (polled with xdotool, so coarse)."""
import os
import pty
import statistics
import subprocess
import sys
import tempfile
import time

SIM, WIN_BIN, NAMESPACE = sys.argv[1], sys.argv[2], sys.argv[3]
RUNS = 10

# A home of its own: no settings file of the user's, and no running
# Tastlink to hand over to.
_HOME = tempfile.mkdtemp(prefix="tastlink-bench-")
for _d in ("config", "run"):
    os.makedirs(os.path.join(_HOME, _d), mode=0o700)
SIM_ENV = dict(os.environ, HOME=_HOME, XDG_CONFIG_HOME=os.path.join(_HOME, "config"),
               XDG_RUNTIME_DIR=os.path.join(_HOME, "run"), TASTLINK_SIM_ANNOUNCE="1")


def linux_startup(ports):
    times = []
    for _ in range(RUNS):
        t0 = time.monotonic_ns()
        p = subprocess.Popen([SIM], env=dict(SIM_ENV, TASTLINK_SIM_PORTS=ports),
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for line in p.stderr:
            if line.startswith("shown "):
                times.append((int(line.split()[1]) - t0) / 1e6)
                break
        p.kill()
        p.wait()
    return times


def report(name, times):
    times.sort()
    print("%s median=%.0f max=%.0f runs=%d" % (name, statistics.median(times), times[-1], len(times)))


def whole_program_idle():
    p = subprocess.Popen([SIM], env=dict(SIM_ENV, TASTLINK_SIM_PORTS="1"),
                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in p.stderr:
        if line.startswith("shown "):
            break
    time.sleep(2)

    def sample():
        switches, ticks = 0, 0
        for tid in os.listdir("/proc/%d/task" % p.pid):
            with open("/proc/%d/task/%s/status" % (p.pid, tid)) as f:
                for line in f:
                    if line.endswith("ctxt_switches:\t%s\n" % line.split()[-1]) and "ctxt" in line:
                        switches += int(line.split()[-1])
            with open("/proc/%d/task/%s/stat" % (p.pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
                ticks += int(fields[11]) + int(fields[12])
        return switches, ticks

    s0, c0 = sample()
    time.sleep(10)
    s1, c1 = sample()
    p.kill()
    p.wait()
    hz = os.sysconf("SC_CLK_TCK")
    print("idle_whole_program wakeups_per_s=%.1f cpu_ms_per_10s=%.0f (tastlink-sim on Xvfb, text field focused: "
          "the caret blinks)" % ((s1 - s0) / 10.0, (c1 - c0) * 1000.0 / hz))


def wine_startup(ports):
    prefix = os.path.join(WIN_BIN, "wineprefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    dos = os.path.join(prefix, "dosdevices")
    masters, links = [], []
    for n in ports:
        m, s = pty.openpty()
        link = os.path.join(dos, "com%d" % n)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.ttyname(s), link)
        os.close(s)
        masters.append(m)
        links.append(link)
    times = []
    for _ in range(5):
        t0 = time.monotonic()
        p = subprocess.Popen(["/usr/lib/wine/wine64", os.path.join(WIN_BIN, "Tastlink.exe")], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while True:
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tastlink$"],
                                 capture_output=True, text=True).stdout
            if out.strip():
                times.append((time.monotonic() - t0) * 1000)
                break
            if time.monotonic() - t0 > 60:
                break
        p.kill()
        p.wait()
        subprocess.run(["xdotool", "search", "--name", "^Tastlink$", "windowkill"], capture_output=True)
        time.sleep(0.5)
    for link in links:
        os.remove(link)
    for m in masters:
        os.close(m)
    return times


if __name__ == "__main__":
    if sys.argv[4:] == ["wine"]:
        prefix = os.path.join(WIN_BIN, "wineprefix")
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report("startup_ms_windows_wine64 no_port", wine_startup([]))
        report("startup_ms_windows_wine64 16_ports", wine_startup(range(1, 17)))
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
        sys.exit(0)
    report("startup_ms_linux no_port", linux_startup(""))
    report("startup_ms_linux 16_ports", linux_startup(",".join(str(n) for n in range(1, 17))))
    whole_program_idle()
    if os.geteuid() == 0 and os.path.exists(os.path.join(WIN_BIN, "Tastlink.exe")):
        subprocess.run([NAMESPACE, sys.executable, __file__, SIM, WIN_BIN, NAMESPACE, "wine"])
