"""The Windows build under wine64 on Xvfb. Runs inside wine-namespace.sh, so
COM1 is absent and only the COM ports this script links to pseudo-terminals
exist. TASTLINK_WIN_BIN is the 64-bit build directory; TASTLINK_EXE32, when
set, the 32-bit Tastlink.exe (built and checked, not run)."""
import mmap
import os
import pty
import struct
import shutil
import subprocess
import time
import unittest

BIN = os.environ["TASTLINK_WIN_BIN"]
EXE32 = os.environ.get("TASTLINK_EXE32", "")
SHOTS = os.environ.get("TASTLINK_SHOTS", "")
# The modem-line interposer of the hardware-in-the-loop rig (a Linux build).
INTERPOSER = os.environ.get("TASTLINK_INTERPOSER", "")
WINE = "/usr/lib/wine/wine64"
PREFIX = os.path.join(BIN, "wineprefix")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
DOS = os.path.join(PREFIX, "dosdevices")
OBJDUMP = {"64": "x86_64-w64-mingw32-objdump", "32": "i686-w64-mingw32-objdump"}
# DLLs every Windows has; a static build needs nothing else.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll", "version.dll"}


def until(check, what, timeout=60.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def wine(*args, **kw):
    return subprocess.run([WINE, *args], env=ENV, capture_output=True, text=True, **kw)


def inspect(what):
    r = wine(os.path.join(BIN, "tests", "inspect.exe"), what, timeout=120)
    return r.stdout if r.returncode == 0 else None


class Ports:
    """COM ports mapped to fresh pseudo-terminals for the life of a test."""

    def __init__(self, numbers):
        self.masters, self.links = [], []
        for n in numbers:
            master, slave = pty.openpty()
            path = os.ttyname(slave)
            os.close(slave)
            self.masters.append(master)
            link = os.path.join(DOS, "com%d" % n)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(path, link)
            self.links.append(link)

    def close(self):
        for link in self.links:
            os.remove(link)
        for m in self.masters:
            os.close(m)


def setUpModule():
    if not os.path.isdir(PREFIX):
        subprocess.run([WINE, "wineboot", "-i"], env=ENV, capture_output=True, timeout=300)
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=ENV)
    for name in os.listdir(DOS):
        if name.startswith("com"):
            os.remove(os.path.join(DOS, name))
    # The server and the services the first program brings up live on; were
    # they started by a call whose output is captured, they would hold its
    # pipe open and that call would never end.
    subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run([WINE, os.path.join(BIN, "tests", "inspect.exe"), "main"], env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)


def tearDownModule():
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=ENV)


class Executables(unittest.TestCase):
    def exes(self):
        out = [("64", os.path.join(BIN, "Tastlink.exe"))]
        if EXE32:
            out.append(("32", EXE32))
        return out

    def test_static_builds_import_only_system_dlls(self):
        for bits, exe in self.exes():
            dump = subprocess.run([OBJDUMP[bits], "-p", exe], capture_output=True, text=True).stdout
            dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
            self.assertTrue(dlls, exe)
            self.assertLessEqual(dlls, SYSTEM_DLLS, exe)
            head = subprocess.run([OBJDUMP[bits], "-f", exe], capture_output=True, text=True).stdout
            self.assertIn("pei-i386" if bits == "32" else "pei-x86-64", head)

    def test_version_record(self):
        exes = ";".join("Z:" + e.replace("/", "\\") for _, e in self.exes())
        r = subprocess.run([WINE, os.path.join(BIN, "tests", "test_win32.exe"), "--gtest_filter=Win32Version.*"],
                           env=dict(ENV, TASTLINK_EXES=exes), capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout[-3000:])
        self.assertNotIn("SKIPPED", r.stdout)


class UnderWine(unittest.TestCase):
    def test_portable_tests(self):
        r = wine(os.path.join(BIN, "tests", "test_core.exe"), timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout[-3000:])

    def test_windows_layers(self):
        ports = Ports([3, 12])
        try:
            r = subprocess.run([WINE, os.path.join(BIN, "tests", "test_win32.exe"), "--gtest_filter=-Win32Version.*"],
                               env=dict(ENV, TASTLINK_WINE_PORTS="3,12"), capture_output=True, text=True,
                               timeout=180)
        finally:
            ports.close()
        self.assertEqual(r.returncode, 0, r.stdout[-4000:])
        self.assertNotIn("SKIPPED", r.stdout)


class EndToEnd(unittest.TestCase):
    def run_exe(self):
        return subprocess.Popen([WINE, os.path.join(BIN, "Tastlink.exe")], env=ENV,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def shot(self, name):
        if SHOTS:
            subprocess.run(["import", "-window", "root", os.path.join(SHOTS, name)])

    def test_no_port_shows_the_german_report_and_no_window(self):
        p = self.run_exe()
        try:
            text = until(lambda: inspect("box"), "the error report")
            self.assertIn("Laufzeitfehler 380", text)
            self.assertIn("keiner der Anschlüsse COM1 bis COM16 ließ sich öffnen", text)
            main = inspect("main")
            self.assertTrue(main is None or "visible=0" in main, "the main window must never be shown")
            self.shot("windows-noport.png")
            inspect("ok")
            self.assertEqual(p.wait(60), 1)
        finally:
            if p.poll() is None:
                p.kill()

    def test_ports_3_and_12_listed_3_selected(self):
        ports = Ports([3, 12])
        p = self.run_exe()
        try:
            state = until(lambda: inspect("main"), "the main window")
            self.assertIn("list=3,12\n", state)
            self.assertIn("selected=0\n", state)
            self.assertIn("label=Kein Kabel gefunden\n", state)
            until(lambda: "visible=1" in (inspect("main") or ""), "the window shown")
            time.sleep(0.5)
            self.shot("windows-window.png")
            inspect("close")
            self.assertEqual(p.wait(60), 0)
        finally:
            if p.poll() is None:
                p.kill()
            ports.close()


@unittest.skipUnless(INTERPOSER and os.path.exists(INTERPOSER), "needs the modem-line interposer")
class RealSerialLayer(unittest.TestCase):
    """Wine's own comm API on a pty-backed COM3 whose modem lines the
    interposer (loaded into wine) gives the test: GetCommModemStatus,
    EscapeCommFunction and WaitCommEvent all work for real."""

    def setUp(self):
        self.ports = Ports([3])
        self.state_file = os.path.join(BIN, "modem-state")
        with open(self.state_file, "wb") as f:
            f.write(b"\0" * 16)
        self.state = mmap.mmap(os.open(self.state_file, os.O_RDWR), 16)
        env = dict(ENV, LD_PRELOAD=INTERPOSER, TASTLINK_MODEM_PTY=os.readlink(self.ports.links[0]),
                   TASTLINK_MODEM_STATE=self.state_file)
        self.p = subprocess.Popen([WINE, os.path.join(BIN, "Tastlink.exe")], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def tearDown(self):
        if self.p.poll() is None:
            self.p.kill()
        self.ports.close()

    def cts(self, on):
        self.state[0:4] = struct.pack("i", 0x20 if on else 0)

    def label(self):
        return (inspect("main") or "").partition("label=")[2].strip()

    def test_button_drives_shift_and_closing_while_pressed_lets_it_up(self):
        until(lambda: "visible=1" in (inspect("main") or ""), "the window shown")
        self.assertEqual(struct.unpack("i", self.state[4:8])[0] & 6, 6, "DTR and RTS asserted")
        for _ in range(3):
            self.cts(True)
            until(lambda: self.label() == "SHIFT gedrückt", "SHIFT gedrückt")
            self.assertEqual(inspect("shift").strip(), "shift=1")
            self.cts(False)
            until(lambda: self.label() == "SHIFT losgelassen", "SHIFT losgelassen")
            self.assertEqual(inspect("shift").strip(), "shift=0")
        self.cts(True)
        until(lambda: inspect("shift").strip() == "shift=1", "Shift down")
        inspect("close")
        self.assertEqual(self.p.wait(60), 0)
        self.assertEqual(inspect("shift").strip(), "shift=0", "closing while pressed lets Shift up")


if __name__ == "__main__":
    unittest.main()
