"""The Linux program end to end on a real X server (Xvfb): the real window,
real XTest injection, with simulated serial ports (tastlink-sim), and the
shipped binary for the no-port report."""
import glob
import os
import pwd
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import xdisplay  # noqa: E402

SIM = os.environ.get("TASTLINK_SIM", "")
BIN = os.environ.get("TASTLINK_BIN", "")
SHOTS = os.environ.get("TASTLINK_SHOTS", "")


def until(check, what, timeout=60.0):
    # The condition ends the wait: the bound is for a machine under load.
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def window_ids(pid):
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", "Tastlink"],
                         capture_output=True, text=True).stdout
    return [int(w) for w in out.split()]


def key_watcher(pid):
    """The pid of the XTest key watcher a program started, or None."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if ppid == pid and f.read().startswith(b"tastlink-key-watcher\0"):
                    return int(entry)
        except (OSError, ValueError, IndexError):
            pass
    return None


def gone(pid):
    """True once the process has ended (a zombie nobody reaped counts)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def no_core_dumps():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def home_env(home):
    """A home of its own: settings, autostart entry and the one-instance
    socket never meet another test's or the user's."""
    for d in ("config", "run"):
        os.makedirs(os.path.join(home, d), mode=0o700, exist_ok=True)
    return dict(HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_RUNTIME_DIR=os.path.join(home, "run"))


def write_settings(home, text):
    os.makedirs(os.path.join(home, "config", "Tastlink"), exist_ok=True)
    with open(os.path.join(home, "config", "Tastlink", "tastlink.conf"), "w") as f:
        f.write(text)


class Sim:
    def __init__(self, ports, args=(), home=None, **env):
        self.own_home = None if home else tempfile.mkdtemp(prefix="tastlink-e2e-")
        env = dict(home_env(home or self.own_home), **env)
        env = {k: v for k, v in dict(os.environ, TASTLINK_SIM_PORTS=ports, **env).items() if v is not None}
        # What the program said, for a test that finds it gone.
        self.err = tempfile.TemporaryFile(mode="w+")
        self.p = subprocess.Popen([SIM] + list(args), env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=self.err, text=True, bufsize=1, preexec_fn=no_core_dumps)
        self.watcher = None

    def ended(self):
        code = self.p.wait(30)
        self.err.seek(0)
        return AssertionError("program ended (%s): %s" % (code, self.err.read()[-2000:]))

    def ask(self, cmd):
        try:
            self.p.stdin.write(cmd + "\n")
            self.p.stdin.flush()
        except BrokenPipeError:
            raise self.ended() from None
        lines = [self.p.stdout.readline().rstrip("\n")]
        if cmd == "dump":
            while lines[-1] != "end":
                if self.p.poll() is not None and not lines[-1]:
                    raise self.ended()
                lines.append(self.p.stdout.readline().rstrip("\n"))
            return dict(line.split("=", 1) for line in lines[:-1] if "=" in line)
        return lines[0]

    def state(self):
        return self.ask("dump")

    def wait_label(self, text):
        until(lambda: self.state().get("label") == text, "status text " + text)

    def wait_box(self):
        return until(lambda: self.state().get("box"), "an error report")

    def end(self):
        if self.p.poll() is None:
            self.p.kill()
        self.p.wait(60)
        # A watcher still at work could let up the next program's key.
        if self.watcher:
            until(lambda: gone(self.watcher), "the key watcher gone")
        self.err.close()
        if self.own_home:
            shutil.rmtree(self.own_home, ignore_errors=True)


class KeyEvents:
    """xev's own window, given the focus: the key events the desktop gets,
    in their order, by keysym name."""

    def __init__(self):
        self.p = subprocess.Popen(["stdbuf", "-oL", "xev", "-event", "keyboard", "-name", "tastlink-keys", "-geometry", "100x100+600+400"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lines = []
        threading.Thread(target=lambda: self.lines.extend(iter(self.p.stdout.readline, "")), daemon=True).start()
        wid = until(lambda: subprocess.run(["xdotool", "search", "--name", "^tastlink-keys$"], capture_output=True,
                                           text=True).stdout.split(), "xev's window")[0]
        until(lambda: subprocess.run(["xdotool", "windowfocus", "--sync", wid]).returncode == 0
              and subprocess.run(["xdotool", "getwindowfocus"], capture_output=True, text=True).stdout.strip() ==
              wid, "xev's window to have the focus")

    def events(self):
        return re.findall(r"(KeyPress|KeyRelease) event.*?\(keysym 0x[0-9a-f]+, (\w+)\)", "".join(self.lines), re.S)

    def end(self):
        self.p.kill()
        self.p.wait(10)


@unittest.skipUnless(os.environ.get("DISPLAY") and SIM and shutil.which("xdotool"), "needs X, xdotool and tastlink-sim")
class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.sims = []
        self.home = tempfile.mkdtemp(prefix="tastlink-e2e-")
        for key in ("Shift_L", "Control_L"):
            if xdisplay.key_down(key):
                subprocess.run(["xdotool", "keyup", key])

    def tearDown(self):
        for s in self.sims:
            s.end()
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self, ports, args=(), **env):
        s = Sim(ports, args, self.home, **env)
        self.sims.append(s)
        until(lambda: s.p.poll() is not None or s.state().get("visible") or s.state().get("box"), "start-up")
        s.watcher = key_watcher(s.p.pid)  # started with the keys, before any window
        return s

    def test_start_up_lists_ports_and_holds_the_first_with_outputs_asserted(self):
        s = self.start("3,12")
        until(lambda: s.state().get("focus"), "the window to take the focus")
        st = s.state()
        self.assertEqual(st["label"], "Kein Kabel gefunden")
        self.assertEqual(st["list"], "3,12")
        self.assertEqual(st["selected"], "3")
        self.assertEqual(st.get("focus"), "Text1")
        self.assertEqual(s.ask("lines 3"), "dtr=1 rts=1")
        self.assertEqual(s.ask("lines 12"), "dtr=0 rts=0")
        # Docks match the window to its menu entry by its class.
        with open(os.path.join(os.path.dirname(__file__), "../../data/io.github.tastlink.Tastlink.desktop")) as f:
            entry = re.search(r"^StartupWMClass=(.*)$", f.read(), re.M)[1]
        wm_class = subprocess.run(["xprop", "-id", str(window_ids(s.p.pid)[0]), "WM_CLASS"], capture_output=True,
                                  text=True).stdout
        self.assertEqual(wm_class.split(", ")[-1].strip(), '"%s"' % entry)
        if SHOTS:
            subprocess.run(["import", "-window", "root", "-crop", "260x160+0+0", os.path.join(SHOTS, "linux-window.png")])

    def test_shift_follows_the_button_on_the_x_server(self):
        s = self.start("3")
        for _ in range(20):
            s.ask("press 3")
            until(xdisplay.shift_down, "Shift down")
            s.wait_label("SHIFT gedrückt")
            s.ask("release 3")
            until(lambda: not xdisplay.shift_down(), "Shift up")
            s.wait_label("SHIFT losgelassen")
        s.ask("blip 3")  # too short to see: still a press and a release
        time.sleep(0.3)
        self.assertFalse(xdisplay.shift_down())
        self.assertEqual(s.state()["label"], "SHIFT losgelassen")

    def test_switching_while_pressed_lets_shift_up_and_moves_the_line(self):
        s = self.start("3,12")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        s.ask("choose 1")
        until(lambda: not xdisplay.shift_down(), "Shift up after the switch")
        st = s.state()
        self.assertEqual(st["selected"], "12")
        self.assertEqual(st["label"], "SHIFT losgelassen", "the status names the key as the desktop has it")
        self.assertEqual(st.get("focus"), "Text1")
        self.assertEqual(s.ask("lines 3"), "dtr=0 rts=0")
        self.assertEqual(s.ask("lines 12"), "dtr=1 rts=1")
        s.ask("press 3")  # the old port no longer counts
        time.sleep(0.2)
        self.assertFalse(xdisplay.shift_down())
        s.ask("press 12")
        until(xdisplay.shift_down, "Shift down on the new port")
        s.ask("choose 1")  # the same entry again: reopens, the same button keeps its key
        until(lambda: s.state().get("focus") == "Text1", "the reopened line")
        self.assertTrue(xdisplay.shift_down())
        self.assertEqual(s.state()["label"], "SHIFT gedrückt")
        self.assertEqual(s.ask("lines 12"), "dtr=1 rts=1")
        s.ask("release 12")
        until(lambda: not xdisplay.shift_down(), "Shift up on release after reopening")

    def test_closing_the_window_while_pressed_lets_shift_up(self):
        s = self.start("3")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        if SHOTS:
            subprocess.run(["import", "-window", "root", "-crop", "260x160+0+0", os.path.join(SHOTS, "linux-pressed.png")])
        xdisplay.close_window(window_ids(s.p.pid)[0])
        self.assertEqual(s.p.wait(60), 0)
        self.assertFalse(xdisplay.shift_down())

    def test_every_way_the_process_stops_lets_shift_up(self):
        # ends: through the event loop, rc 0; dies: by the signal (the key
        # watcher or the crash handler lets the key up); runs: ignored.
        cases = [(sig, "ends") for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT,
                                           signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM)]
        cases += [(sig, "dies") for sig in (signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL,
                                            signal.SIGABRT, signal.SIGKILL)]
        cases += [(signal.SIGPIPE, "runs")] + [(sig, "stops") for sig in (signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU)]
        for sig, outcome in cases:
            s = self.start("3")
            s.ask("press 3")
            until(xdisplay.shift_down, "Shift down")
            s.p.send_signal(sig)
            if outcome == "ends":
                self.assertEqual(s.p.wait(60), 0, sig)
            elif outcome == "dies":
                self.assertEqual(s.p.wait(60), -sig, sig)
            elif outcome == "runs":
                s.state()  # answered after the signal was handled
                self.assertIsNone(s.p.poll(), sig)
                self.assertTrue(xdisplay.shift_down(), sig)
                s.ask("release 3")
            else:
                until(lambda: open("/proc/%d/stat" % s.p.pid).read().split(")")[1].split()[0] == "T", "stopped")
                until(lambda: not xdisplay.shift_down(), "Shift up while stopped by %s" % sig)
                s.p.send_signal(signal.SIGCONT)
                self.assertEqual(s.state()["label"], "SHIFT losgelassen")
            until(lambda: not xdisplay.shift_down(), "Shift up after %s" % sig)
            s.end()

    def test_a_dead_programs_watcher_lets_up_only_what_it_held(self):
        # A second copy on another port presses Shift right after the first,
        # holding Shift, was killed: that press is not the dead one's to let up.
        other = Sim("4")
        self.sims.append(other)
        until(lambda: other.state().get("visible"), "the second window")
        other.watcher = key_watcher(other.p.pid)
        s = self.start("3")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        s.p.kill()
        s.p.wait(60)
        end = time.monotonic() + 60
        while xdisplay.shift_down() and time.monotonic() < end:
            pass  # no sleep: the press follows the release as closely as it can
        self.assertFalse(xdisplay.shift_down(), "the killed program's Shift let up")
        other.ask("press 4")
        other.wait_label("SHIFT gedrückt")
        until(xdisplay.shift_down, "the second copy's Shift down")
        until(lambda: gone(s.watcher), "the dead program's watcher gone")
        self.assertTrue(xdisplay.shift_down(), "a press after the death let up by the dead program's watcher")
        other.ask("release 4")
        until(lambda: not xdisplay.shift_down(), "Shift up")

    def test_reports_at_start_up_end_on_signals(self):
        for env in (dict(DISPLAY=None, QT_QPA_PLATFORM="offscreen"),  # no way to send keys
                    dict()):                                                # no port
            for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                s = self.start("3" if env else "", **env)
                s.wait_box()
                s.p.send_signal(sig)
                s.p.wait(60)

    def test_unplugged_while_pressed_releases_reports_and_ends(self):
        s = self.start("3")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        s.ask("hangup 3")
        box = s.wait_box()
        self.assertFalse(xdisplay.shift_down(), "Shift goes up before the report")
        self.assertIn("Laufzeitfehler 8015", box)
        self.assertIn("COM3 (sim) ist abgerissen", box)
        self.assertNotIn("visible=QWidget", s.state())
        if SHOTS:
            subprocess.run(["import", "-window", "root", os.path.join(SHOTS, "linux-unplugged.png")])
        subprocess.run(["xdotool", "key", "Return"])
        self.assertEqual(s.p.wait(60), 1)

    def test_a_choice_that_will_not_open_is_noted_and_the_line_goes_back(self):
        s = self.start("3,12")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        s.ask("take 12")
        s.ask("choose 1")
        note = until(lambda: s.state().get("note"), "a note")
        self.assertIn("COM12 (sim) lässt sich nicht öffnen: wird gerade von einem anderen Programm benutzt", note)
        self.assertFalse(xdisplay.shift_down())
        st = s.state()
        self.assertNotIn("box", st, "nothing modal")
        self.assertEqual(st["selected"], "3")
        self.assertEqual(s.ask("lines 3"), "dtr=1 rts=1")
        s.ask("release 3")
        s.ask("press 3")
        until(xdisplay.shift_down, "the old port works on")
        s.ask("release 3")

    def test_adapters_come_and_go_without_ending_the_program(self):
        s = self.start("3,12")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        s.ask("unplug 3")
        s.wait_label("Adapter getrennt")
        self.assertFalse(xdisplay.shift_down(), "Shift up at once")
        self.assertNotIn("box", s.state())
        s.ask("plug 5")  # another adapter meanwhile: listed in order
        until(lambda: s.state()["list"] == "3,5,12", "the list to follow")
        s.ask("plug 3")
        s.wait_label("Kein Kabel gefunden")
        self.assertEqual(s.ask("lines 3"), "dtr=1 rts=1")
        self.assertEqual(s.state()["selected"], "3")
        s.ask("press 3")
        until(xdisplay.shift_down, "a press after the return, no click")
        s.ask("release 3")
        # Counted once a cycle has run: what start-up opens for a while (the
        # toolkit's own connections) is not the cycles' doing.
        fds = len(os.listdir("/proc/%d/fd" % s.p.pid))
        for _ in range(10):  # ten cycles in a row
            s.ask("unplug 3")
            s.ask("unplug 5")
            s.ask("plug 5")
            s.ask("plug 3")
        # A new adapter last: once it is listed, every change before it has
        # been taken in.
        s.ask("plug 6")
        until(lambda: s.state()["list"] == "3,5,6,12" and s.state()["label"] == "Kein Kabel gefunden", "settled")
        self.assertEqual(s.ask("lines 3"), "dtr=1 rts=1")
        self.assertEqual(len(os.listdir("/proc/%d/fd" % s.p.pid)), fds, "no descriptor left behind")
        threads = [open("/proc/%d/task/%s/comm" % (s.p.pid, t)).read().strip()
                   for t in os.listdir("/proc/%d/task" % s.p.pid)]
        self.assertEqual(threads.count("tl-line-waiter"), 1)

    def test_two_switches_in_overlap_and_both_keys_up_on_close(self):
        write_settings(self.home, "[switch1]\nline=CTS\nkey=Shift\n[switch2]\nline=DSR\nkey=Ctrl\n")
        s = self.start("3")
        steps = [("press 3", True, False, "SHIFT gedrückt"), ("press 3 DSR", True, True, "STRG gedrückt"),
                 ("release 3", False, True, "SHIFT losgelassen"), ("release 3 DSR", False, False, "STRG losgelassen"),
                 ("press 3 DSR", False, True, "STRG gedrückt"), ("press 3", True, True, "SHIFT gedrückt")]
        for cmd, shift, ctrl, label in steps:
            s.ask(cmd)
            s.wait_label(label)
            until(lambda: (xdisplay.key_down("Shift_L"), xdisplay.key_down("Control_L")) == (shift, ctrl), cmd)
        xdisplay.close_window(window_ids(s.p.pid)[0])
        self.assertEqual(s.p.wait(60), 0)
        self.assertFalse(xdisplay.key_down("Shift_L") or xdisplay.key_down("Control_L"), "both keys up")

    def test_a_combination_a_mouse_button_and_a_media_key(self):
        write_settings(self.home, "[switch1]\nkey=Ctrl+Shift+F5\n[switch2]\nline=DSR\nkey=MouseLeft\n"
                                  "[switch3]\nline=DCD\nkey=PlayPause\n")
        s = self.start("3")
        until(lambda: s.state().get("focus"), "the window to take the focus")
        keys = KeyEvents()
        self.addCleanup(keys.end)
        combination = ["Control_L", "Shift_L", "F5"]
        s.ask("press 3")
        s.wait_label("STRG+UMSCH+F5 gedr.")  # shortened to fit the status line
        until(lambda: all(map(xdisplay.key_down, combination)), "the combination down")
        s.ask("release 3")
        until(lambda: not any(map(xdisplay.key_down, combination)), "the combination up")
        s.ask("press 3 DCD")
        s.wait_label("WIEDERGABE gedrückt")
        expected = [("KeyPress", k) for k in combination] + [("KeyRelease", k) for k in reversed(combination)] + \
            [("KeyPress", "XF86AudioPlay"), ("KeyRelease", "XF86AudioPlay")]
        until(lambda: keys.events() == expected, "the keys in order: %s" % keys.events())
        s.ask("press 3 DSR")
        s.wait_label("MAUS LINKS gedrückt")
        until(lambda: xdisplay.buttons_down() == {1}, "Button1 down")
        # Everything held goes up on the way out: closed, crashed, killed
        # (the key watcher then).
        for way in ("close", signal.SIGSEGV, signal.SIGKILL):
            if way != "close":
                s = self.start("3")
                s.ask("press 3 DSR")
            s.ask("press 3")
            until(lambda: all(map(xdisplay.key_down, combination)) and xdisplay.buttons_down() == {1}, "all down")
            if SHOTS and way == "close":
                subprocess.run(["import", "-window", "root", "-crop", "260x160+0+0",
                                os.path.join(SHOTS, "linux-chord.png")])
            if way == "close":
                xdisplay.close_window(window_ids(s.p.pid)[0])
            else:
                s.p.send_signal(way)
            self.assertEqual(s.p.wait(60), 0 if way == "close" else -way)
            until(lambda: not any(map(xdisplay.key_down, combination)) and not xdisplay.buttons_down(),
                  "all up after %s" % way)
            s.end()

    def test_inverted_and_toggled_switches(self):
        # After each command: whether Shift is down.
        cases = [(["--invert"], [("press 3", False), ("release 3", True), ("press 3", False)]),
                 (["--mode", "toggle"], [("press 3", True), ("release 3", True), ("press 3", False),
                                         ("release 3", False), ("blip 3", True)]),
                 (["--mode", "toggle", "--invert"], [("press 3", False), ("release 3", True),
                                                           ("press 3", True), ("release 3", False)])]
        for args, steps in cases:
            s = self.start("3", args)
            for cmd, down in steps:
                s.ask(cmd)
                until(lambda: xdisplay.shift_down() == down, "%s %s: Shift %s" % (args, cmd, down))
                time.sleep(0.1)  # and nothing more follows
                self.assertEqual(xdisplay.shift_down(), down, (args, cmd))
            xdisplay.close_window(window_ids(s.p.pid)[0])
            self.assertEqual(s.p.wait(60), 0)
            self.assertFalse(xdisplay.shift_down(), "a toggled key is let up on close too")

    def test_debounce_lets_only_settled_changes_through(self):
        # The key types a letter into the window's own text field, so every
        # press that reaches the X server is counted, however short.
        for debounce, typed in (("0", "aaaaa"), ("30", "a")):
            s = self.start("3", ["--key", "A", "--debounce", debounce])
            until(lambda: s.state().get("focus") == "Text1", "the text field's focus")
            s.ask("bounce 3 5")  # press: five edges 1 ms apart, ending pressed
            s.wait_label("A gedrückt")
            s.ask("bounce 3 5")  # release, as bouncy
            s.wait_label("A losgelassen")
            # A key typed after the server has let A up reaches the field
            # after every A the program sent.
            until(lambda: not xdisplay.key_down("a"), "A up on the server")
            subprocess.run(["xdotool", "key", "b"])
            text = until(lambda: s.state().get("text", "").endswith("b") and s.state()["text"], "the marker typed")
            self.assertEqual(text, typed + "b", "debounce " + debounce)
            s.end()

    def test_port_option_and_remembered_port(self):
        for args, selected, note in ((["--port", "COM12"], "12", None),
                                     (["--port", "COM5"], "3", "COM5 ist nicht da; Tastlink öffnet COM3.")):
            s = self.start("3,12", args)
            self.assertEqual(s.state()["selected"], selected, args)
            if note:
                self.assertEqual(until(lambda: s.state().get("note"), "the note"), note, "said in the window")
            self.assertEqual(s.ask("lines " + selected), "dtr=1 rts=1")
            s.end()
        user_file = "; mine\n[General]\nremember=true\n"
        write_settings(self.home, user_file)
        s = self.start("3,12")
        s.ask("choose 1")
        until(lambda: s.ask("lines 12") == "dtr=1 rts=1", "the chosen port")
        s.p.terminate()
        self.assertEqual(s.p.wait(60), 0)
        s = self.start("3,12")
        self.assertEqual(s.state()["selected"], "12", "the port chosen last")
        with open(os.path.join(self.home, "config", "Tastlink", "tastlink.conf")) as f:
            self.assertEqual(f.read(), user_file, "the user's file is never written")

    def test_wait_for_port_opens_the_first_that_comes(self):
        s = self.start("", ["--wait-for-port"])
        st = s.state()
        self.assertEqual(st["label"], "Warte auf Adapter")
        self.assertNotIn("box", st)
        s.ask("plug 4")
        s.wait_label("Kein Kabel gefunden")
        self.assertEqual(s.ask("lines 4"), "dtr=1 rts=1")
        s.ask("press 4")
        until(xdisplay.shift_down, "Shift down from the new port")
        s.ask("release 4")
        until(lambda: not xdisplay.shift_down(), "Shift up")

    def test_waiting_with_a_refused_port_says_why_and_shows_the_window(self):
        s = self.start("3", ["--wait-for-port", "--minimized"], TASTLINK_SIM_TAKEN="3")
        until(lambda: s.state().get("note"), "the note")
        st = s.state()
        self.assertEqual(st["label"], "Anschluss verweigert")
        self.assertIn("COM3: ", st["note"])
        self.assertNotIn("minimized", st, "the user must act: the window is not left minimized")

    @unittest.skipIf(os.path.exists("/dev/uinput"), "uinput is there: XTest is not needed")
    def test_xtest_in_a_wayland_session_is_said_in_the_window(self):
        for wayland, note in ((None, None), ("wayland-tastlink-%d" % os.getpid(), "nur X11-Programme (XWayland)")):
            s = self.start("3", ["--minimized"], WAYLAND_DISPLAY=wayland, QT_QPA_PLATFORM="xcb")
            st = s.state()
            if note:
                self.assertIn(note, st.get("note", ""))
                self.assertIn("sudo modprobe uinput", st["note"])
                self.assertNotIn("minimized", st)
            else:
                self.assertNotIn("note", st, "on X11 XTest reaches every program")
            s.end()

    def test_a_second_instance_raises_the_first_unless_given_another_port(self):
        first = self.start("3,12", ["--minimized"])
        self.assertEqual(first.state().get("minimized"), "1")
        cases = [([], 0), (["--port", "COM3"], 0), (["--port", "COM12", "--minimized"], None)]
        for args, rc in cases:
            second = Sim("3,12", args, self.home)
            self.sims.append(second)
            if rc is None:  # runs beside the first
                until(lambda: second.state().get("visible"), "the second window")
                self.assertEqual(second.state()["selected"], "12")
            else:
                self.assertEqual(second.p.wait(60), rc, args)
                until(lambda: "minimized" not in first.state(), "the first window in front")
        # A copy for the port the one beside the first is on brings that one forward.
        beside = self.sims[-1]
        self.assertEqual(beside.state().get("minimized"), "1")
        third = Sim("3,12", ["--port", "COM12"], self.home)
        self.sims.append(third)
        self.assertEqual(third.p.wait(60), 0)
        until(lambda: "minimized" not in beside.state(), "the copy on COM12 in front")
        # Another display is another desk: a copy there runs (a Wayland
        # session's name counts before DISPLAY; the window still goes to X).
        elsewhere = Sim("3,12", [], self.home, WAYLAND_DISPLAY="wayland-tastlink-%d" % os.getpid(),
                        QT_QPA_PLATFORM="xcb")
        self.sims.append(elsewhere)
        until(lambda: elsewhere.state().get("visible"), "a copy on another display")
        first.p.kill()  # its socket stays behind, stale
        first.p.wait(60)
        third = self.start("3")
        self.assertEqual(third.state()["selected"], "3", "a stale socket does not stop the next start")
        third.end()
        # A runtime directory too long for a socket's path still keeps to one copy.
        run = os.path.join(self.home, "r" * (121 - len(self.home) - 1))
        os.makedirs(run, mode=0o700)
        self.start("3", XDG_RUNTIME_DIR=run)
        again = Sim("3", [], self.home, XDG_RUNTIME_DIR=run)
        self.sims.append(again)
        self.assertEqual(again.p.wait(60), 0)

    def test_silent_clients_on_the_one_copy_socket_never_hold_a_key(self):
        s = self.start("3")
        s.ask("press 3")
        until(xdisplay.shift_down, "Shift down")
        path = glob.glob(os.path.join(self.home, "run", "*.socket"))[0]
        stop = threading.Event()

        def pester():  # connects and says nothing, over and over
            silent = []
            while not stop.is_set():
                c = socket.socket(socket.AF_UNIX)
                try:
                    c.connect(path)
                except OSError:
                    c.close()
                    time.sleep(0.01)
                    continue
                silent.append(c)
                if len(silent) > 8:
                    silent.pop(0).close()
            for c in silent:
                c.close()

        pesterers = [threading.Thread(target=pester) for _ in range(2)]
        for t in pesterers:
            t.start()
        try:
            time.sleep(0.5)
            s.ask("release 3")
            until(lambda: not xdisplay.shift_down(), "Shift up while the clients keep silent")
            self.assertEqual(s.state()["label"], "SHIFT losgelassen")
        finally:
            stop.set()
            for t in pesterers:
                t.join()

    def test_autostart_on_and_off(self):
        entry = os.path.join(self.home, "config", "autostart", "io.github.tastlink.Tastlink.desktop")
        env = dict(os.environ, **home_env(self.home))
        for arg, exists in (("on", True), ("off", False), ("off", False)):
            p = subprocess.run([SIM, "--autostart", arg], env=env, capture_output=True, text=True, timeout=30)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(os.path.exists(entry), exists, arg)
            if exists:
                text = open(entry).read()
                self.assertIn("Exec=%s --minimized --wait-for-port\nTryExec=%s\n" % ((os.path.realpath(SIM),) * 2), text)
                self.assertIn("[Desktop Entry]\nType=Application\n", text)
        # A line break in the program's path would start a line of its own.
        odd = os.path.join(self.home, "tastlink\nX-Injected=1")
        shutil.copy(SIM, odd)
        p = subprocess.run([odd, "--autostart", "on"], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual((p.returncode, os.path.exists(entry)), (1, False))
        self.assertIn("Steuerzeichen", p.stderr)
        # Reserved characters are quoted as desktops unquote them.
        odd = os.path.join(self.home, 'my "apps" $x `y` \\ 100%')
        os.makedirs(odd)
        shutil.copy(SIM, odd)
        self.assertEqual(subprocess.run([os.path.join(odd, os.path.basename(SIM)), "--autostart", "on"], env=env,
                                        timeout=30).returncode, 0)
        value = re.search(r"^Exec=(.*)$", open(entry).read(), re.M)[1]
        value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r"}.get(m[1], m[1]), value)
        argv = [re.sub(r"\\(.)", r"\1", q).replace("%%", "%") if q else u
                for q, u in re.findall(r'"((?:[^"\\]|\\.)*)"|(\S+)', value)]
        self.assertEqual(argv, [os.path.join(odd, os.path.basename(SIM)), "--minimized", "--wait-for-port"])
        blocked = os.path.join(self.home, "file")
        open(blocked, "w").close()
        p = subprocess.run([SIM, "--autostart", "on"], env=dict(env, XDG_CONFIG_HOME=blocked), capture_output=True,
                           text=True, timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn("Der Autostart-Eintrag %s/autostart/io.github.tastlink.Tastlink.desktop lässt sich nicht "
                      "schreiben" % blocked, p.stderr)

    def test_no_port_reports_in_german_and_never_shows_the_window(self):
        s = self.start("")
        box = s.wait_box()
        self.assertIn("Laufzeitfehler 380", box)
        self.assertIn("keiner der Anschlüsse COM1 bis COM16 ließ sich öffnen", box)
        vis = [k for k in s.state() if k == "visible"]
        self.assertEqual(s.state().get("visible"), "QMessageBox", "only the report is on screen")
        self.assertLessEqual(len(vis), 1)
        subprocess.run(["xdotool", "key", "Return"])
        self.assertEqual(s.p.wait(60), 1)

    def test_no_port_report_for_sixteen_refused_ports_fits_the_screen(self):
        every = ",".join(str(n) for n in range(1, 17))
        s = self.start(every, TASTLINK_SIM_TAKEN=every)
        box = s.wait_box()
        self.assertIn("COM1:", box)
        self.assertIn("COM16", box, "every refused port is named")
        self.assertLessEqual(box.count("\\n"), 10)
        screen_h = int(subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True,
                                      text=True).stdout.split()[1])
        box_h = max(int(subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(w)], capture_output=True,
                                       text=True).stdout.split("HEIGHT=")[1].split()[0])
                    for w in until(lambda: window_ids(s.p.pid), "the report's window"))
        self.assertLess(box_h, 0.6 * screen_h, "the report's OK button must stay on a small screen")
        if SHOTS:
            subprocess.run(["import", "-window", "root", os.path.join(SHOTS, "linux-noport-16.png")])
        subprocess.run(["xdotool", "key", "Return"])
        self.assertEqual(s.p.wait(60), 1)


@unittest.skipUnless(SIM, "needs tastlink-sim")
class CommandLine(unittest.TestCase):
    def test_options_answer_before_any_port_or_window(self):
        opens = os.path.join(os.environ.get("TMPDIR", "/tmp"), "tastlink-opens-%d" % os.getpid())
        no_desktop = dict(DISPLAY=None, WAYLAND_DISPLAY=None, QT_QPA_PLATFORM=None)
        cases = [(["--help"], {}, 0, "stdout", "Aufruf: tastlink"),
                 (["-h"], no_desktop, 0, "stdout", "--version"),
                 (["--version"], no_desktop, 0, "stdout", "Tastlink 1.0.0\n"),
                 (["--version"], dict(TASTLINK_KEY_WATCHER_FD="3"), 0, "stdout", "Tastlink 1.0.0\n"),
                 (["--frobnicate"], {}, 2, "stderr", "unbekannte Option \u201e--frobnicate\u201c"),
                 (["COM3"], {}, 2, "stderr", "tastlink --help"),
                 ([], no_desktop, 1, "stderr", "weder DISPLAY noch WAYLAND_DISPLAY"),
                 ([], dict(DISPLAY=":4711", WAYLAND_DISPLAY=None, QT_QPA_PLATFORM=None), 1, "stderr",
                  "antwortet nicht (DISPLAY=:4711)")]
        for args, env, rc, stream, text in cases:
            env = {k: v for k, v in dict(os.environ, TASTLINK_SIM_PORTS="3", TASTLINK_SIM_OPENS=opens,
                                         **home_env(tempfile.mkdtemp(prefix="tastlink-e2e-")), **env).items()
                   if v is not None}
            p = subprocess.run([SIM] + args, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=30)
            shutil.rmtree(env["HOME"], ignore_errors=True)
            self.assertEqual(p.returncode, rc, args)
            self.assertIn(text, getattr(p, stream), args)
            self.assertFalse(os.path.exists(opens), "%s opened a port" % args)


    def test_a_settings_mistake_is_told_in_german_before_any_port(self):
        opens = os.path.join(os.environ.get("TMPDIR", "/tmp"), "tastlink-opens-%d" % os.getpid())
        cases = [("[switch1]\nkey=Hyper\n", "Zeile 2 ([switch1] key=Hyper): unbekannte Taste \u201eHyper\u201c"),
                 ("kaputt\n", "Zeile 1: \u201ekaputt\u201c ist weder [Abschnitt] noch Eintrag=Wert"),
                 ("[switch1]\nkey=Ctrl\n[switch2]\nline=DSR\nkey=ctrl\n", "die Taste Ctrl ist zwei Schaltern zugeordnet"),
                 # Nothing put in the file's place may hold the start or fill the box.
                 (os.mkfifo, "tastlink.conf ist keine gewöhnliche Datei"),
                 (lambda path: os.symlink("/dev/zero", path), "tastlink.conf ist keine gewöhnliche Datei"),
                 ("x" * (2 << 20), "tastlink.conf ist größer als 1 MiB"),
                 ("[switch1]\nkey=" + "H" * 500000 + "\n", "Taste \u201e" + "H" * 60 + "\u2026\u201c.")]
        for text, message in cases:
            home = tempfile.mkdtemp(prefix="tastlink-e2e-")
            if callable(text):
                write_settings(home, "")
                os.unlink(os.path.join(home, "config", "Tastlink", "tastlink.conf"))
                text(os.path.join(home, "config", "Tastlink", "tastlink.conf"))
            else:
                write_settings(home, text)
            env = dict(os.environ, TASTLINK_SIM_PORTS="3", TASTLINK_SIM_OPENS=opens, **home_env(home))
            p = subprocess.run([SIM], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
            shutil.rmtree(home, ignore_errors=True)
            self.assertEqual(p.returncode, 2, text)
            self.assertIn("Einstellungsdatei " + home + "/config/Tastlink/tastlink.conf", p.stderr)
            self.assertIn(message, p.stderr)
            self.assertLess(len(p.stderr), 1000, "a short excerpt of the line")
            self.assertFalse(os.path.exists(opens), "%r opened a port" % text)

# The shipped program on pseudo-terminals, as a user without privileges: a
# private mount namespace with a /dev, a /sys/class/tty and a world-writable
# /run/lock of its own; the interposer gives each pty modem lines. The test
# reaches the namespace's files through /proc/<pid>/root.
PRIVATE_PORTS = r"""
set -e
mount -t tmpfs -o mode=755 none /sys/class/tty
mount -t tmpfs -o mode=1777 none /run/lock
mkdir -p "$HOSTDEV"
mount --rbind /dev "$HOSTDEV"
mount -t tmpfs -o mode=755 none /dev
for n in null zero full random urandom tty; do touch /dev/$n; mount --bind "$HOSTDEV/$n" /dev/$n; done
mkdir /dev/pts /dev/shm
mount --rbind "$HOSTDEV/pts" /dev/pts
mount -t tmpfs -o mode=1777 none /dev/shm
ln -s pts/ptmx /dev/ptmx
ln -s /proc/self/fd /dev/fd
echo ready
read -r go
exec >/dev/null setpriv --reuid=nobody --regid=nogroup --clear-groups "$0" "$@"
"""
INTERPOSER = os.environ.get("TASTLINK_INTERPOSER", "")
CTS, DTR, RTS = 0x020, 0x002, 0x004
NOBODY = pwd.getpwnam("nobody").pw_uid


class Inotify:
    """Opens of files in one directory, as the kernel reports them: an open
    that never returns is never reported."""

    def __init__(self, path):
        import ctypes
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        self.libc.inotify_add_watch(self.fd, path.encode(), 0x20)  # IN_OPEN
        self.names = []

    def opened(self, name):
        try:
            data = os.read(self.fd, 4096)
        except BlockingIOError:
            data = b""
        while data:  # struct inotify_event: wd, mask, cookie, len, name
            size = int.from_bytes(data[12:16], sys.byteorder)
            self.names.append(data[16:16 + size].rstrip(b"\0").decode())
            data = data[16 + size:]
        return name in self.names

    def close(self):
        os.close(self.fd)


class PrivatePorts:
    def __init__(self, ports, args=(), before_start=None):
        """`ports`: {tty name: (owner uid, mode), or None for one plugged later}; `before_start(self)` plants what
        the start must meet."""
        self.dir = tempfile.mkdtemp(prefix="tastlink-real-")
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        env = home_env(self.home)
        for d in (self.home, env["XDG_CONFIG_HOME"], env["XDG_RUNTIME_DIR"]):
            os.chown(d, NOBODY, -1)
        self.ptys = {}
        for name in ports:
            master, slave = os.openpty()
            self.ptys[name] = (master, os.ttyname(slave))
            os.close(slave)
        # Copies the user can reach wherever the build tree lies.
        program, interposer = os.path.join(self.dir, "tastlink"), os.path.join(self.dir, "interposer.so")
        shutil.copy(BIN, program)
        shutil.copy(INTERPOSER, interposer)
        self.state = os.path.join(self.dir, "lines")
        with open(self.state, "wb") as f:
            f.write(bytes(20 * len(ports)))
        os.chmod(self.state, 0o666)
        env.update(LD_PRELOAD=interposer, TASTLINK_MODEM_STATE=self.state, HOSTDEV=os.path.join(self.dir, "hostdev"),
                   TASTLINK_MODEM_PTY=":".join(path for _, path in self.ptys.values()))
        self.err = tempfile.TemporaryFile(mode="w+")
        self.p = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", PRIVATE_PORTS, program] +
                                  list(args), env=dict(os.environ, **env), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=self.err, text=True, preexec_fn=no_core_dumps)
        assert self.p.stdout.readline() == "ready\n", "the private namespace"
        self.root = "/proc/%d/root" % self.p.pid
        for name, access in ports.items():
            if access:
                self.plug(name, *access)
        if before_start:
            before_start(self)
        self.p.stdin.write("go\n")
        self.p.stdin.close()

    def plug(self, name, owner=None, mode=0o660):
        """The tty comes (the program learns of it at the next udev event)."""
        sys_entry = os.path.join(self.root, "sys/class/tty", name)
        os.makedirs(sys_entry)
        with open(os.path.join(sys_entry, "type"), "w") as f:
            f.write("4\n")  # a UART answers
        # A pty opens only through its own file system: the node is bound in.
        pty = self.ptys[name][1]
        os.chown(pty, NOBODY if owner is None else owner, 0)
        os.chmod(pty, mode)
        open(os.path.join(self.root, "dev", name), "w").close()
        subprocess.run(["nsenter", "-t", str(self.p.pid), "-m", "mount", "--bind", pty, "/dev/" + name], check=True)

    def lines(self, name, inputs=None):
        """The outputs the program set on `name`; with `inputs`, set those first."""
        index = list(self.ptys).index(name)
        with open(self.state, "r+b") as f:
            if inputs is not None:
                f.seek(20 * index)
                f.write(inputs.to_bytes(4, sys.byteorder))
            f.seek(20 * index + 4)
            return int.from_bytes(f.read(4), sys.byteorder)

    def stderr(self):
        self.err.seek(0)
        return self.err.read()

    def end(self):
        watcher = key_watcher(self.p.pid)
        if self.p.poll() is None:
            self.p.kill()
        self.p.wait(60)
        if watcher:  # it could let up the next program's key
            until(lambda: gone(watcher), "the key watcher gone")
        self.err.close()
        for master, _ in self.ptys.values():
            os.close(master)
        shutil.rmtree(self.dir, ignore_errors=True)


def udev_event():
    """A kernel uevent for a tty: the program's watch reads its ports again."""
    with open("/sys/devices/virtual/tty/tty63/uevent", "w") as f:
        f.write("change")


@unittest.skipUnless(os.environ.get("DISPLAY") and BIN and INTERPOSER and os.geteuid() == 0 and
                     shutil.which("nsenter") and shutil.which("setpriv"), "needs X, root, nsenter and the interposer")
class PrivatePortsAsAUser(unittest.TestCase):
    def start(self, ports, args=(), before_start=None):
        s = PrivatePorts(ports, args, before_start)
        self.addCleanup(s.end)
        return s

    def test_a_fifo_as_lock_file_holds_nothing(self):
        # Planted before the start: the port counts as held, the next is taken.
        def fifo(s):
            os.mkfifo(os.path.join(s.root, "run/lock/LCK..ttyS0"))
        s = self.start({"ttyS0": (None, 0o660), "ttyS1": (None, 0o660), "ttyUSB0": None}, before_start=fifo)
        window = until(lambda: window_ids(s.p.pid), "the window")[0]
        until(lambda: s.lines("ttyS1") == DTR | RTS, "the line on ttyS1")
        self.assertEqual(s.lines("ttyS0"), 0)
        # Planted while a key is held, for an adapter that comes: released is up.
        locks = Inotify(os.path.join(s.root, "run/lock"))
        self.addCleanup(locks.close)
        s.lines("ttyS1", CTS)
        until(xdisplay.shift_down, "Shift down")
        os.mkfifo(os.path.join(s.root, "run/lock/LCK..ttyUSB0"))
        s.plug("ttyUSB0")
        udev_event()
        # An open that blocks is never reported: the old fault waits here.
        until(lambda: locks.opened("LCK..ttyUSB0"), "the adapter's lock file opened and looked at")
        s.lines("ttyS1", 0)
        until(lambda: not xdisplay.shift_down(), "Shift up on release")
        xdisplay.close_window(window)
        self.assertEqual(s.p.wait(60), 0, "the window answers")

    def test_a_refused_port_is_said_with_the_line_that_lets_the_user_in(self):
        # Root's mode 600 keeps the user out; waiting says so and tries again.
        s = self.start({"ttyS0": (0, 0o600)}, ["--wait-for-port", "--minimized"])
        until(lambda: len(window_ids(s.p.pid)) == 2, "the window and its note")
        err = until(lambda: "usermod" in s.stderr() and s.stderr(), "the reason on stderr")
        self.assertIn("COM1", err)
        self.assertIn("\u201esudo usermod -aG dialout nobody\u201c", err)
        os.chown(s.ptys["ttyS0"][1], NOBODY, 0)
        until(lambda: s.lines("ttyS0") == DTR | RTS, "the port taken once the user may")
        # Without waiting, the report holds the same line.
        s = self.start({"ttyS0": (0, 0o600)})
        until(lambda: "Laufzeitfehler 380" in s.stderr(), "the no-port report")
        self.assertIn("sudo usermod -aG dialout nobody", s.stderr())


@unittest.skipUnless(os.environ.get("DISPLAY") and BIN and os.geteuid() == 0 and shutil.which("unshare"),
                     "needs X, root and unshare")
class ShippedBinary(unittest.TestCase):
    def test_no_serial_port_on_the_machine(self):
        # A private mount namespace whose /sys/class/tty lists no serial port.
        script = 'mount -t tmpfs none /sys/class/tty && exec "$0"'
        home = tempfile.mkdtemp(prefix="tastlink-e2e-")
        self.addCleanup(shutil.rmtree, home, True)
        p = subprocess.Popen(["unshare", "-m", "sh", "-c", script, BIN], stderr=subprocess.DEVNULL,
                             env=dict(os.environ, **home_env(home)))
        try:
            wins = until(lambda: window_ids(p.pid), "the error report")
            time.sleep(0.3)
            geometry = subprocess.run(["xdotool", "getwindowgeometry", str(wins[0])], capture_output=True,
                                      text=True).stdout
            self.assertNotIn("211x126", geometry, "the main window must not appear")
            if SHOTS:
                subprocess.run(["import", "-window", "root", "-crop", "700x300+160+230",
                                os.path.join(SHOTS, "linux-noport.png")])
            subprocess.run(["xdotool", "key", "Return"])
            self.assertEqual(p.wait(60), 1)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()

    def test_a_mistake_is_shown_where_nobody_reads_stderr(self):
        for settings, args, text in (("[switch1]\nkey=Hyper\n", [], "unbekannte Taste"),
                                     ("", ["--frobnicate"], "unbekannte Option")):
            home = tempfile.mkdtemp(prefix="tastlink-e2e-")
            self.addCleanup(shutil.rmtree, home, True)
            write_settings(home, settings)
            script = 'mount -t tmpfs none /sys/class/tty && exec "$0" "$@"'
            p = subprocess.Popen(["unshare", "-m", "sh", "-c", script, BIN] + args, stderr=subprocess.PIPE, text=True,
                                 env=dict(os.environ, **home_env(home)))
            try:
                until(lambda: window_ids(p.pid), "the box")
                subprocess.run(["xdotool", "key", "Return"])
                self.assertEqual(p.wait(60), 2)
                self.assertIn(text, p.stderr.read())
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()


if __name__ == "__main__":
    unittest.main()
