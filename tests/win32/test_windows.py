"""The Windows build under wine on Xvfb. Runs inside wine-namespace.sh, so
COM1 is absent and only the COM ports this script links to pseudo-terminals
exist. TASTLINK_WIN_BIN is the 64-bit build directory (its test programs run
under wine64); TASTLINK_EXE32, when set, the 32-bit Tastlink.exe, whose
build is checked. TASTLINK_RUN_EXE, when set, is the Tastlink.exe the
end-to-end tests run (the 32-bit one under wine32); by default the 64-bit
build's."""
import getpass
import mmap
import os
import pty
import queue
import random
import struct
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIN = os.environ["TASTLINK_WIN_BIN"]
EXE32 = os.environ.get("TASTLINK_EXE32", "")
SHOTS = os.environ.get("TASTLINK_SHOTS", "")
# The modem-line interposer of the hardware-in-the-loop rig (a Linux build).
INTERPOSER = os.environ.get("TASTLINK_INTERPOSER", "")
WINE = "/usr/lib/wine/wine64"
RUN_EXE = os.environ.get("TASTLINK_RUN_EXE") or os.path.join(BIN, "Tastlink.exe")
RUN_32 = RUN_EXE == EXE32
# A prefix of its own for the 32-bit run: one made before wine32 was there
# cannot run 32-bit programs. A long stress run may have one of its own too,
# so that it can run beside the suite, and so does a suite that changes what
# the user has installed.
PREFIX = os.environ.get("TASTLINK_WINEPREFIX") or os.path.join(BIN, "wineprefix32" if RUN_32 else "wineprefix")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
DOS = os.path.join(PREFIX, "dosdevices")
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"  # LogPixels: the screen's density
OBJDUMP = {"64": "x86_64-w64-mingw32-objdump", "32": "i686-w64-mingw32-objdump"}
# DLLs every Windows has; a static build needs nothing else.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll", "version.dll"}


def until(check, what, timeout=300.0, seen=None):
    # The condition ends the wait; the bound allows for a machine under load,
    # where each look through inspect starts a wine process. `seen` says
    # what was there instead, for the report.
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what + (" (seen: %s)" % seen() if seen else ""))


def wine(*args, **kw):
    return subprocess.run([WINE, *args], env=ENV, capture_output=True, text=True, **kw)


INSPECT = os.path.join(BIN, "tests", "inspect.exe")


def inspect(*what):
    r = wine(INSPECT, *what, timeout=120)
    return r.stdout if r.returncode == 0 else None


def main_state():
    """The main window as inspect sees it: list, selected, label, focus..."""
    return dict(line.split("=", 1) for line in (inspect("main") or "").splitlines() if "=" in line)


def shown_main():
    state = inspect("main") or ""
    return state if "visible=1" in state else None


def park_pointer():
    """Puts the X pointer in the screen's top right corner, where no window of
    these tests comes. A window that the pointer enters, or that appears or
    goes away under it, gets an EnterNotify, and wine then sets its keyboard
    state to the X server's, which never saw the program's keys: a Shift
    pressed just before the window took that event would read as up, though
    nothing let it up."""
    width = subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True, text=True).stdout.split()[0]
    subprocess.run(["xdotool", "mousemove", str(int(width) - 1), "0"], check=True)


def settings_shown():
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tastlink - Einstellungen$"],
                          capture_output=True).returncode == 0


def shot(name):
    """The screen, for a person to look at, when TASTLINK_SHOTS names a
    folder; wine's own tray window (where the desktop has no tray) is put
    in the far corner first, where it hides nothing."""
    if SHOTS:
        inspect("trayaside")
        subprocess.run(["import", "-window", "root", os.path.join(SHOTS, name)])


def settings_controls():
    """The settings window's controls by id, {} while it is closed."""
    return dict(line.split("=", 1) for line in (inspect("settings") or "").splitlines() if "=" in line)


def run_entry():
    """Whether the program starts with the session (its Run value)."""
    query = ["reg", "query", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run", "/v", "Tastlink"]
    return 'Tastlink.exe" --minimized --wait-for-port' in wine(*query).stdout


def keys_down():
    return {int(vk) for vk in (inspect("down") or "down=").strip()[5:].split(",") if vk}


def shift_down():
    return (inspect("shift") or "").strip() == "shift=1"


class ShiftWatch:
    """Every Shift event that reaches the desktop, through a low-level
    keyboard hook in another process: "down" and "up". With `every`: every
    key ("down 17") and mouse button ("down left")."""

    def __init__(self, every=False):
        self.p = subprocess.Popen([WINE, INSPECT, "watchall" if every else "watch", "3600000"], env=ENV,
                                  stdout=subprocess.PIPE, text=True)
        assert self.p.stdout.readline().strip() == "ready"
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.p.stdout:
            self.events.put(line.strip())

    def next(self, timeout=300):
        try:
            return self.events.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no Shift event") from None

    def nothing_more(self, settle):
        """No further event within `settle` seconds (a change that must not
        move the key has been seen by then)."""
        time.sleep(settle)
        self.p.kill()
        self.p.wait()
        rest = []
        while not self.events.empty():
            rest.append(self.events.get())
        return rest


class Ports:
    """COM ports mapped to fresh pseudo-terminals for the life of a test,
    each with its DOS name, as its driver would give it (wine does that only
    for the ports it finds at its start): the program lists only ports the
    system names."""

    def __init__(self, numbers):
        self.masters, self.links, self.numbers = [], [], list(numbers)
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
            inspect("define", str(n))

    def close(self):
        for n in self.numbers:
            inspect("undefine", str(n))
        for link in self.links:
            if os.path.lexists(link):
                os.remove(link)
        for m in self.masters:
            os.close(m)


def setUpModule():
    park_pointer()  # the suites before leave it where windows come
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
    wine("reg", "delete", DESKTOP_KEY, "/v", "LogPixels", "/f")
    # A crash under test should end the process, not wait at wine's dialog.
    wine("reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f")


def tearDownModule():
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=ENV)


class Executables(unittest.TestCase):
    def exes(self):
        out = [("64", os.path.join(BIN, "Tastlink.exe"))]
        if EXE32:
            out.append(("32", EXE32))
        return out

    def test_static_stripped_builds_import_only_system_dlls(self):
        for bits, exe in self.exes():
            nm = subprocess.run([OBJDUMP[bits].replace("objdump", "nm"), exe], capture_output=True, text=True)
            self.assertIn("no symbols", nm.stderr, exe)
            dump = subprocess.run([OBJDUMP[bits], "-p", exe], capture_output=True, text=True).stdout
            dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
            self.assertTrue(dlls, exe)
            self.assertLessEqual(dlls, SYSTEM_DLLS, exe)
            head = subprocess.run([OBJDUMP[bits], "-f", exe], capture_output=True, text=True).stdout
            self.assertIn("pei-i386" if bits == "32" else "pei-x86-64", head)

    def test_version_record(self):
        exes = ";".join("Z:" + e.replace("/", "\\") for _, e in self.exes())
        r = subprocess.run([WINE, os.path.join(BIN, "tests", "test_win32.exe"), "--gtest_filter=Win32Version.RecordOfTheBuiltExecutables"],
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
            r = subprocess.run([WINE, os.path.join(BIN, "tests", "test_win32.exe"),
                                "--gtest_filter=-Win32Version.*:Win32Crash.*"],
                               env=dict(ENV, TASTLINK_WINE_PORTS="3,12"), capture_output=True, text=True,
                               timeout=180)
        finally:
            ports.close()
        self.assertEqual(r.returncode, 0, r.stdout[-4000:])
        self.assertNotIn("SKIPPED", r.stdout)

    def test_shift_goes_up_when_the_process_dies(self):
        for how in ("fault", "thread", "terminate", "abort"):
            r = subprocess.run([WINE, os.path.join(BIN, "tests", "test_win32.exe"), "--gtest_filter=Win32Crash.*"],
                               env=dict(ENV, TASTLINK_CRASH=how), capture_output=True, text=True, timeout=180)
            # Died inside the test: it neither passed nor failed. (The exit
            # code wine gives a crashed thread's process varies under load.)
            self.assertIn("[ RUN      ] Win32Crash", r.stdout, how)
            self.assertIn("shift down before the crash", r.stdout, how)
            self.assertNotIn("[       OK ] Win32Crash", r.stdout, how)
            self.assertNotIn("[  FAILED  ] Win32Crash", r.stdout, how)
            self.assertEqual(keys_down(), set(), how + ": keys or the mouse button left down")


class EndToEnd(unittest.TestCase):
    def run_exe(self):
        return subprocess.Popen([WINE, RUN_EXE], env=ENV,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_no_port_shows_the_german_report_and_no_window(self):
        p = self.run_exe()
        try:
            text = until(lambda: inspect("box"), "the error report")
            self.assertIn("Laufzeitfehler 380", text)
            self.assertIn("keiner der Anschlüsse COM1 bis COM16 ließ sich öffnen", text)
            main = inspect("main")
            self.assertTrue(main is None or "visible=0" in main, "the main window must never be shown")
            shot("windows-noport.png")
            # Gone behind another program, the report is brought forward by a
            # second start, which then ends.
            other = subprocess.Popen([WINE, "notepad"], env=ENV)
            self.addCleanup(other.kill)
            until(lambda: (inspect("foreground") or "").startswith("Notepad|"), "another program in front")
            self.assertEqual(self.run_exe().wait(300), 0)
            self.assertEqual(inspect("foreground").strip(), "#32770|Tastlink")
            inspect("ok")
            self.assertEqual(p.wait(300), 1)
        finally:
            if p.poll() is None:
                p.kill()

    def test_command_line_answers_in_a_box_before_any_port_or_window(self):
        ports = Ports([3])
        try:
            for args, rc, text in ((["--help"], 0, "Pin 8 der 9-poligen D-Sub-Buchse) zur Umschalttaste"),
                                   (["--version"], 0, "Tastlink 1.0.0"),
                                   (["--gibtsnicht"], 2, "\u201eTastlink.exe --help\u201c")):
                p = subprocess.Popen([WINE, RUN_EXE, *args], env=ENV,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    self.assertIn(text, until(lambda: inspect("box"), "the answer to %s" % args))
                    main = inspect("main")
                    self.assertTrue(main is None or "visible=0" in main, args)
                    inspect("ok")
                    self.assertEqual(p.wait(300), rc, args)
                finally:
                    if p.poll() is None:
                        p.kill()
        finally:
            ports.close()

    def test_ports_listed_first_selected_two_digits_whole(self):
        # Ports 3 and 12: listed in order, 3 selected. Port 16 alone: look at
        # the shot, "16" must show whole in the closed list, not "1(".
        for numbers, listed, picture in (([3, 12], "3,12", "windows-window.png"), ([16], "16", "windows-com16.png")):
            ports = Ports(numbers)
            p = self.run_exe()
            try:
                # The window exists, hidden, while the probe runs: read it once shown.
                state = until(shown_main, "the window shown")
                self.assertIn("list=%s\nselected=0\n" % listed, state)
                self.assertIn("label=Kein Kabel gefunden\n", state)
                time.sleep(0.5)
                shot(picture)
                inspect("close")
                self.assertEqual(p.wait(300), 0)
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
        self.ports = Ports([3, 12])
        self.state_file = os.path.join(BIN, "modem-state")
        with open(self.state_file, "wb") as f:
            f.write(b"\0" * 20)
        self.state = mmap.mmap(os.open(self.state_file, os.O_RDWR), 20)
        env = dict(ENV, LD_PRELOAD=INTERPOSER, TASTLINK_MODEM_PTY=os.readlink(self.ports.links[0]),
                   TASTLINK_MODEM_STATE=self.state_file)
        # What the program records (its reasons), for a test that fails.
        self.err = tempfile.TemporaryFile(mode="w+", encoding="utf-8", errors="replace")
        park_pointer()
        self.p = subprocess.Popen([WINE, RUN_EXE], env=env, stdout=subprocess.DEVNULL, stderr=self.err)

    def tearDown(self):
        # Closed as a user would, so that no Shift stays down for the next test.
        if self.p.poll() is None:
            inspect("close")
            try:
                self.p.wait(300)
            except subprocess.TimeoutExpired:
                self.p.kill()
        self.ports.close()
        self.err.close()

    def cts(self, on):
        self.state[0:4] = struct.pack("i", 0x20 if on else 0)

    def seen(self):
        self.err.seek(0)
        lines = [l for l in self.err.read().splitlines() if l.startswith("Tastlink:")]
        return "%r, note %r, %s" % (self.label(), inspect("note"), " | ".join(lines[-8:]))

    def label(self):
        return main_state().get("label")

    def shown(self):
        until(shown_main, "the window shown")

    def press(self):
        self.cts(True)
        until(shift_down, "Shift down")

    def outputs_raised(self):
        # The window is shown before the line is open: DTR and RTS come with
        # the line, a little later.
        until(lambda: struct.unpack("i", self.state[4:8])[0] & 6 == 6, "DTR and RTS asserted")

    def test_button_drives_shift_and_closing_while_pressed_lets_it_up(self):
        until(lambda: "visible=1" in (inspect("main") or ""), "the window shown")
        self.outputs_raised()
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
        self.assertEqual(self.p.wait(300), 0)
        self.assertEqual(inspect("shift").strip(), "shift=0", "closing while pressed lets Shift up")

    def test_adapter_pulled_while_pressed_is_waited_for_and_taken_back_without_a_click(self):
        # Pulled out, its line fails as an unplugged adapter's does; or (some
        # drivers) the line says nothing and only the device's leaving tells;
        # or put back at once, its leaving and coming told before the program
        # has looked (the ports are then the same before and after).
        self.shown()
        link = self.ports.links[0]
        tty = os.readlink(link)
        for line_fails, at_once in ((True, False), (False, False), (False, True)):
            self.press()
            if line_fails:
                self.state[16:20] = struct.pack("i", 1)
                until(lambda: self.label() == "Adapter getrennt", "the line's own report")
                self.assertFalse(shift_down(), "Shift left down by a pulled adapter")
            os.remove(link)
            inspect("undefine", "3")
            inspect("devchange", "removal", "3")
            if not at_once:
                until(lambda: self.label() == "Adapter getrennt" and not shift_down(), "the adapter taken as gone")
                state = main_state()
                self.assertEqual((state["list"], state["selected"]), ("3,12", "0"), "the port in use stays listed")
                self.assertIsNone(self.p.poll(), line_fails)
            # Back, with its outputs as a new device has them.
            self.cts(False)
            self.state[4:8] = struct.pack("i", 0)
            self.state[16:20] = struct.pack("i", 0)
            os.symlink(tty, link)
            inspect("define", "3")
            inspect("devchange", "arrival", "3")
            until(lambda: self.label() == "Kein Kabel gefunden", "the port opened again", seen=self.seen)
            self.outputs_raised()
            self.press()
            self.cts(False)
            until(lambda: self.label() == "SHIFT losgelassen", "the release")

    def test_a_port_that_will_not_open_is_noted_and_the_line_stays(self):
        self.shown()
        os.remove(self.ports.links[1])  # COM12 gone since the probe, unannounced
        inspect("keys", "tab", "down")  # the closed list's arrow key chooses it
        self.assertIn("COM12 lässt sich nicht öffnen", until(lambda: inspect("note"), "the note"))
        state = main_state()
        self.assertEqual((state["list"], state["selected"], state["focus"]), ("3,12", "0", "1"),
                         "back on COM3, the note's button focused")
        # The window goes on working while the note is up.
        self.press()
        self.cts(False)
        until(lambda: not shift_down(), "the release")
        inspect("keys", "enter")
        self.assertIsNone(inspect("note"))
        self.assertEqual(main_state()["focus"], "104", "the focus back in the text field")
        self.assertIsNone(self.p.poll())

    def test_keys_and_wheel_move_the_focus_but_never_the_line(self):
        self.shown()
        for keys, focus in (("tab", "103"), ("tab", "104"), ("shift+tab", "103"), ("shift+tab", "104")):
            inspect("keys", keys)
            self.assertEqual(main_state()["focus"], focus, keys)
        inspect("keys", "esc")
        time.sleep(0.5)
        self.assertIsNone(self.p.poll(), "Esc in the text field ended the program")
        inspect("keys", "tab", "f4", "down")
        self.assertEqual(main_state()["selected"], "1", "moved within the open list")
        inspect("keys", "esc")
        self.assertEqual(main_state()["selected"], "0", "a cancelled choice shows the port in use")
        # Pressed after the notch: the pointer's way in would let wine drop a held Shift.
        inspect("wheel")
        self.press()
        state = main_state()
        self.assertEqual((state["selected"], state["focus"]), ("0", "103"), "a wheel notch switched the port")
        self.assertEqual(state["label"], "SHIFT gedrückt")

    def test_session_end_lets_shift_up_and_ends_only_when_it_ends(self):
        self.shown()
        self.press()
        self.assertIn("answer=1", inspect("query"))
        self.assertFalse(shift_down(), "Shift still down while the session may end")
        inspect("cancel")
        until(shift_down, "Shift following the line again after a cancelled logoff")
        self.cts(False)
        until(lambda: self.label() == "SHIFT losgelassen", "the line still served")
        self.press()
        inspect("end")
        self.assertEqual(self.p.wait(300), 0)
        self.assertFalse(shift_down())

    def test_press_reaches_the_desktop_while_the_window_is_moved(self):
        self.shown()
        inspect("move")
        until(lambda: main_state().get("moving") == "1", "the move loop")
        watch = ShiftWatch()
        times = []
        for on in (True, False) * 5:
            start = time.monotonic()
            self.cts(on)
            event = watch.next()
            times.append((time.monotonic() - start) * 1000)
            self.assertEqual(event, "down" if on else "up", "no Shift while the window was being moved")
        self.assertEqual(watch.nothing_more(0.5), [])
        times.sort()
        # A figure, printed; the machine's load decides it, not the program.
        print("\nline change to Shift event during a move loop, 10 changes: median %.1f ms, max %.1f ms"
              % (times[len(times) // 2], times[-1]), file=sys.stderr)
        self.assertEqual(main_state()["moving"], "1")
        # Closed while being moved, it ends: a copy left running without a
        # window would turn every later start away.
        inspect("close")
        self.assertEqual(self.p.wait(300), 0)

    def test_bursts_end_where_the_line_is_and_single_presses_count_once(self):
        self.shown()
        watch = ShiftWatch()
        for _ in range(10):  # each event waited for: wine samples the line when it gets to
            self.cts(True)
            self.assertEqual(watch.next(), "down")
            self.cts(False)
            self.assertEqual(watch.next(), "up")
        self.assertEqual(watch.nothing_more(0.5), [], "single presses, each exactly once")
        # Bursts of 7 changes 0.3-2 ms apart: wine samples the line, so a
        # burst may be seen in part, but each must end where the line is.
        rnd, state, wrong = random.Random(7), False, 0
        for _ in range(30):
            for _ in range(7):
                state = not state
                self.cts(state)
                time.sleep(rnd.uniform(0.0003, 0.002))
            try:
                until(lambda: shift_down() == state, "Shift as the line is", timeout=60)
            except AssertionError:
                wrong += 1
        self.assertEqual(wrong, 0, "bursts that left Shift other than the line")


SHIFT, CTRL, LBUTTON = 16, 17, 1
CTS, DSR = 0x20, 0x100  # the interposer's TIOCM_* input bits
# The settings window's controls: switch 1's line and hint, the autostart
# box, the DSR lamp.
SWITCH1_LINE, DETECT_HINT, AUTOSTART_BOX, DSR_LAMP = "1000", "1006", "1203", "1211"
APPDATA = os.path.join(PREFIX, "drive_c", "users", getpass.getuser(), "AppData", "Roaming", "Tastlink")


@unittest.skipUnless(INTERPOSER and os.path.exists(INTERPOSER), "needs the modem-line interposer")
class Switches(unittest.TestCase):
    """Switches as the user's tastlink.ini and the command line set them, on
    COM ports whose lines the interposer gives the test."""

    def setUp(self):
        shutil.rmtree(APPDATA, ignore_errors=True)
        self.addCleanup(shutil.rmtree, APPDATA, True)

    def start(self, args=(), ini="", ports=(3,), modem=3, lines=0, shown=True, linked=True):
        if ini:
            os.makedirs(APPDATA, exist_ok=True)
            with open(os.path.join(APPDATA, "tastlink.ini"), "w", encoding="utf-8") as f:
                f.write(ini)
        self.ports = Ports(ports)
        self.addCleanup(self.ports.close)
        self.link = self.ports.links[ports.index(modem)]
        self.tty = os.readlink(self.link)
        if not linked:
            os.remove(self.link)
            inspect("undefine", str(modem))
        state_file = os.path.join(BIN, "modem-state")
        with open(state_file, "wb") as f:
            f.write(struct.pack("i", lines) + b"\0" * 16)
        self.state = mmap.mmap(os.open(state_file, os.O_RDWR), 20)
        env = dict(ENV, LD_PRELOAD=INTERPOSER, TASTLINK_MODEM_PTY=self.tty, TASTLINK_MODEM_STATE=state_file)
        park_pointer()
        p = subprocess.Popen([WINE, RUN_EXE, *args], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: p.poll() is None and (inspect("close"), p.wait(300)))
        if shown:
            until(shown_main, "the window shown")
        return p

    def launch(self, *args):
        return subprocess.Popen([WINE, RUN_EXE, *args], env=ENV,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def lines(self, bits):
        self.state[0:4] = struct.pack("i", bits)

    def test_switches_as_set_drive_their_keys_and_all_go_up_on_close(self):
        # Each step: the lines, then the keys down and the status text.
        two = "; CTS and DSR\n[switch1]\nline=CTS\n[switch2]\nline=DSR\nkey=Ctrl\n"
        cases = [
            ("two switches in overlap", two, [], (3,), 0,
             [(CTS, {SHIFT}, "SHIFT gedrückt"), (CTS | DSR, {SHIFT, CTRL}, "STRG gedrückt"),
              (DSR, {CTRL}, "SHIFT losgelassen"), (CTS | DSR, {SHIFT, CTRL}, "SHIFT gedrückt")]),
            ("inverted", "", ["--invert"], (3,), CTS, [(0, {SHIFT}, "SHIFT gedrückt"), (CTS, set(), None), (0, {SHIFT}, None)]),
            ("toggled", "", ["--mode", "toggle", "--key=F5"], (3,), 0,
             [(CTS, {0x74}, "F5 gedrückt"), (0, {0x74}, None), (CTS, set(), "F5 losgelassen"), (0, set(), None),
              (CTS, {0x74}, None), (0, {0x74}, None)]),
            ("--port", "", ["--port", "COM12"], (3, 12), 0, [(CTS, {SHIFT}, "SHIFT gedrückt")]),
        ]
        for name, ini, args, ports, initial, steps in cases:
            with self.subTest(name):
                modem = ports[-1]
                p = self.start(args, ini, ports, modem, initial)
                self.assertEqual(main_state()["selected"], str(ports.index(modem)))
                for bits, down, label in steps:
                    self.lines(bits)
                    until(lambda: keys_down() == down and label in (None, main_state().get("label")),
                          "%s: %s" % (name, down))
                    time.sleep(0.3)  # a change that must not move a key has been seen by now
                    self.assertEqual(keys_down(), down, name)
                inspect("close")
                self.assertEqual(p.wait(300), 0)
                self.assertEqual(keys_down(), set(), name + ": a key left down by closing")
                self.doCleanups()

    def test_settings_window_writes_in_place_and_takes_effect_at_once(self):
        kept = "; mine\n[General]\nwait-for-port=false\n"
        self.start(ini=kept)
        ini = os.path.join(APPDATA, "tastlink.ini")

        def text():
            with open(ini, encoding="utf-8") as f:
                return f.read()

        def opened(*keys):
            if keys:
                inspect("keys", *keys)
            return until(settings_controls, "the settings window")

        def closed(*keys):
            inspect("keys", *keys)
            until(lambda: not settings_shown(), "the settings window closed")

        # Opened by the shortcut; Cancel writes nothing.
        opened("ctrl+comma")
        inspect("keys", "tab", "text:Alt")  # switch 1's key typed over Shift
        closed("alt+c")  # Abbre&chen
        self.assertEqual(text(), kept)

        # Opened by a right click on the window; the lamps follow the line.
        until(lambda: inspect("menu", "e") is not None, "the window's menu")
        for bits, lamp in ((0, "DSR aus"), (DSR, "DSR an"), (0, "DSR aus")):
            self.lines(bits)
            until(lambda: opened().get(DSR_LAMP) == lamp, lamp)

        # Switch 1's key typed over Shift, reached by its label's mnemonic;
        # "Schalter erkennen" takes the line that changes first.
        inspect("keys", "alt+t", "text:Ctrl", "alt+r")
        until(lambda: opened()[DETECT_HINT] == "Bitte jetzt den Schalter betätigen \u2026", "the wait for the switch")
        self.lines(DSR)
        until(lambda: opened()[DETECT_HINT] == "DSR erkannt.", "DSR taken")
        self.lines(0)
        self.assertEqual(opened()[SWITCH1_LINE], "DSR")
        closed("alt+o")
        self.assertEqual(text(), kept + "\n[switch1]\nline=DSR\nkey=Ctrl\n")
        self.lines(DSR)
        until(lambda: keys_down() == {CTRL}, "Ctrl down")
        self.lines(0)
        until(lambda: keys_down() == set(), "Ctrl up")

        # The autostart box writes and removes the entry; opened from the
        # window's system menu (Alt+Leertaste), then by the shortcut.
        for on, keys in ((True, ("alt+space", "e")), (False, ("ctrl+comma",))):
            self.assertEqual(opened(*keys)[AUTOSTART_BOX], "0" if on else "1")
            inspect("keys", "alt+z")  # Mit der Sit&zung starten
            until(lambda: opened()[AUTOSTART_BOX] == ("1" if on else "0"), "the box ticked")
            closed("alt+o")
            self.assertEqual(run_entry(), on)

        def tap():
            # A switch held while an edit is read counts from its next
            # change: no key then, and the next tap tells.
            self.lines(DSR)
            try:
                down = until(keys_down, "a key down", timeout=5)
            except AssertionError:
                down = set()
            self.lines(0)
            until(lambda: keys_down() == set(), "the key up")
            return down

        # Edited by hand, as an editor saves: in force without a restart. A
        # broken edit is shown, and the switch stays on DSR, not CTS.
        for edit, mistake in (("[switch1]\nline=DSR\nkey=Shift\n", None), ("[switch1]\nline=CTS\nkaputt\n", "Zeile 3")):
            with open(ini + ".neu", "w", encoding="utf-8") as f:
                f.write(edit)
            os.replace(ini + ".neu", ini)
            if mistake:
                until(lambda: mistake in (inspect("note") or ""), "the mistake shown")
                self.lines(DSR)
                until(lambda: keys_down() == {SHIFT}, "Shift down as before")
                self.lines(0)
                until(lambda: keys_down() == set(), "Shift up")
            else:
                until(lambda: tap() == {SHIFT}, "the hand edit in force")

    def test_a_combination_and_a_mouse_button_reach_another_process(self):
        self.start(ini="[switch1]\nkey=Ctrl+Shift+F5\n[switch2]\nline=DSR\nkey=MouseLeft\n")
        watch = ShiftWatch(every=True)
        combination = {CTRL, SHIFT, 0x74}
        for bits, down, label in ((CTS, combination, None), (0, set(), None), (DSR, {LBUTTON}, "MAUS LINKS gedrückt"),
                                  (CTS | DSR, combination | {LBUTTON}, None)):
            self.lines(bits)
            until(lambda: keys_down() == down and label in (None, main_state().get("label")), str(bits))
        shot("windows-chord.png")
        inspect("close")
        keys = ["down 17", "down 16", "down 116"]
        ups = ["up 116", "up 16", "up 17"]
        # In order and back in reverse, the button held, and on close all up.
        expected = keys + ups + ["down left"] + keys + ups + ["up left"]
        self.assertEqual([watch.next() for _ in expected], expected)
        watch.p.kill()

    def test_debounce_lets_only_settled_changes_through(self):
        # The longest debounce allowed: a burst's changes must come closer
        # than it even when the test is slowed by a busy machine.
        self.start(["--debounce", "1000"])
        watch = ShiftWatch()
        rnd, state = random.Random(3), 0
        for changes, event in ((7, "down"), (7, "up"), (6, None)):  # ends pressed, released, where it was
            for _ in range(changes):
                state ^= CTS
                self.lines(state)
                time.sleep(rnd.uniform(0.0003, 0.002))
            if event:
                self.assertEqual(watch.next(), event)
        self.assertEqual(watch.nothing_more(2.5), [])

    def test_waits_for_a_port_that_comes_later(self):
        self.start(["--wait-for-port"], shown=False, linked=False)
        until(lambda: main_state().get("label") == "Warte auf Adapter", "the wait")
        os.symlink(self.tty, self.link)
        inspect("define", "3")
        inspect("devchange", "arrival", "3")
        until(lambda: main_state().get("label") == "Kein Kabel gefunden", "the port opened")
        self.lines(CTS)
        until(lambda: keys_down() == {SHIFT}, "Shift down")

    def test_a_wrong_setting_is_told_before_any_port_is_touched(self):
        p = self.start(ini="[switch1]\nkey=Hyper\n", shown=False)
        self.assertIn("unbekannte Taste \u201eHyper\u201c", until(lambda: inspect("box"), "the report"))
        self.assertIsNone(inspect("main"), "no window: the probe never ran")
        inspect("ok")
        self.assertEqual(p.wait(300), 2)

    def test_autostart_on_and_off(self):
        for on, text in (("on", "startet ab jetzt"), ("off", "startet nicht mehr")):
            p = self.launch("--autostart", on)
            self.assertIn(text, until(lambda: inspect("box"), "the answer"))
            inspect("ok")
            self.assertEqual(p.wait(300), 0)
            self.assertEqual(run_entry(), on == "on")

    @unittest.skipUnless(SHOTS, "screenshots are taken when TASTLINK_SHOTS names a folder")
    def test_settings_window_at_96_and_144_dpi(self):
        # Each start reads the density anew; the value goes whatever happens
        # (and setUpModule removes one a killed run left).
        for dpi in (96, 144):
            wine("reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")
            try:
                p = self.start()
                inspect("keys", "ctrl+comma")
                until(settings_shown, "the settings window")
                time.sleep(0.5)  # drawn: only for the picture
                shot("windows-settings-%d.png" % dpi)
                inspect("close")
                self.assertEqual(p.wait(300), 0)
            finally:
                wine("reg", "delete", DESKTOP_KEY, "/v", "LogPixels", "/f")
            self.doCleanups()

    def test_tray_icon_shows_the_status_and_its_menu_pauses_shows_and_quits(self):
        # Started with the session into the tray: no window until asked for.
        start = time.monotonic()
        p = self.start(["--minimized"], ini="[General]\nminimize-to-tray=true\n", shown=False)
        until(lambda: main_state().get("label") == "Kein Kabel gefunden", "the line open")
        tray = dict(line.split("=", 1) for line in inspect("tray").split())
        if tray["shell"] == "0":  # no shell to take icons: minimized as without a tray
            until(lambda: main_state().get("iconic") == "1", "minimized instead")
            return
        until(lambda: "tray=1" in inspect("tray"), "the icon")
        print("\nwindow or icon up %.1f s after the start" % (time.monotonic() - start), file=sys.stderr)
        self.assertEqual(main_state()["visible"], "0")
        self.assertEqual(inspect("tip").strip(), "Kein Kabel gefunden")
        self.assertIsNotNone(inspect("traymenu", "a"))  # "Fenster anzeigen"
        until(lambda: main_state().get("visible") == "1", "the window shown")
        watch = ShiftWatch()
        self.lines(CTS)
        until(lambda: inspect("tip").strip() == "SHIFT gedrückt", "the tooltip following the status")
        self.assertIsNotNone(inspect("traymenu", "p"))  # "Pausieren": the key goes up, the switch does nothing
        until(lambda: inspect("tip").strip() == "Pausiert", "paused")
        for bits in (0, CTS, 0):
            self.lines(bits)
        self.assertIsNotNone(inspect("traymenu", "f"))  # "Fortsetzen": counts from the switch's next change
        until(lambda: main_state().get("label") == "Fortgesetzt", "going on")
        self.lines(CTS)
        self.assertEqual([watch.next() for _ in range(3)], ["down", "up", "down"])
        inspect("minimize")  # into the tray, not the taskbar
        until(lambda: main_state().get("visible") == "0", "hidden in the tray")
        self.assertEqual(main_state()["iconic"], "0")
        self.assertEqual(self.launch().wait(300), 0)  # a second start brings it back
        until(lambda: main_state().get("visible") == "1", "shown by the second copy")
        self.assertIsNotNone(inspect("traymenu", "b"))  # "Beenden", the key held
        self.assertEqual(p.wait(300), 0)
        self.assertEqual(keys_down(), set())
        self.assertEqual(watch.nothing_more(0.5), ["up"])

    def test_a_second_copy_shows_the_first_and_ends_unless_given_another_port(self):
        self.start(["--minimized"], ports=(3, 12))
        until(lambda: main_state().get("iconic") == "1", "started minimized")
        self.assertEqual(self.launch().wait(300), 0)
        until(lambda: main_state().get("iconic") == "0", "the first copy's window restored")
        self.assertEqual(main_state()["copies"], "1")
        other = self.launch("--port", "COM12")
        until(lambda: main_state().get("copies") == "2", "a copy for another port")
        inspect("close")
        self.assertEqual(other.wait(300), 0)


def runs_32bit():
    """Whether this machine runs 32-bit programs under wine: the kernel may
    lack 32-bit support, or wine32 its i386 libraries. Tried, not assumed."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True, timeout=120).returncode == 0
    except OSError:
        return False


if __name__ == "__main__":
    if RUN_32 and not runs_32bit():
        print("skipped: this machine cannot run 32-bit programs under wine (wine32)")
        sys.exit(77)
    unittest.main()
