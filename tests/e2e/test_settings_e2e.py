"""The settings window end to end: the real program (tastlink-sim) on an X
server, driven with real keys and mouse through xdotool and read back
through AT-SPI, as a screen reader reads it. Run under dbus-run-session."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import xdisplay  # noqa: E402
from test_linux_e2e import SIM, SHOTS, Sim, gone, key_watcher, until, window_ids, write_settings  # noqa: E402

try:
    import pyatspi
    from gi.repository import Gio, GLib
except ImportError:
    pyatspi = None

AUTOSTART = os.path.join("config", "autostart", "io.github.tastlink.Tastlink.desktop")


def nodes(root):
    stack = [root]
    while stack:
        n = stack.pop()
        if n is None:
            continue
        yield n
        try:
            stack.extend(reversed([n.getChildAtIndex(i) for i in range(n.childCount)]))
        except Exception:  # a node gone while it was read
            pass


def dialog_shown():
    # Asked of the X server: AT-SPI's states may lag behind without a main loop.
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tastlink - Einstellungen$"],
                          capture_output=True).returncode == 0


class App:
    """The program's accessible tree, found by its process id."""

    def __init__(self, pid):
        self.pid = pid

    def root(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.get_process_id() == self.pid:
                return a
        return None

    def find(self, name, role=None, within=None):
        root = within or self.root()
        for n in nodes(root) if root else ():
            if n.name == name and (role is None or n.getRole() == role):
                return n
        return None

    def wait(self, name, role=None, within=None):
        return until(lambda: self.find(name, role, within), "%r" % name)

    def press(self, name, role=pyatspi.ROLE_PUSH_BUTTON if pyatspi else None, within=None):
        self.wait(name, role, within).queryAction().doAction(0)


def open_by_key(app, win):
    subprocess.run(["xdotool", "windowfocus", "--sync", str(win)])
    subprocess.run(["xdotool", "key", "ctrl+comma"])
    until(dialog_shown, "the settings window")
    return app.wait("Tastlink - Einstellungen", pyatspi.ROLE_DIALOG)


needs_x_and_atspi = unittest.skipUnless(os.environ.get("DISPLAY") and SIM and pyatspi and shutil.which("xdotool"),
                                        "needs X, xdotool, pyatspi and tastlink-sim")


@needs_x_and_atspi
class SettingsWindow(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tastlink-settings-")
        self.conf = os.path.join(self.home, "config", "Tastlink", "tastlink.conf")
        write_settings(self.home, "; von Hand: bleibt\n[General]\nwait-for-port=false\n")
        self.sim = Sim("3", home=self.home, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        until(lambda: self.sim.state().get("visible"), "the window")
        self.sim.watcher = key_watcher(self.sim.p.pid)
        self.app = App(self.sim.p.pid)
        self.win = window_ids(self.sim.p.pid)[0]

    def tearDown(self):
        self.sim.end()
        shutil.rmtree(self.home, ignore_errors=True)
        if xdisplay.key_down("Control_L"):
            subprocess.run(["xdotool", "keyup", "Control_L"])

    def file(self):
        with open(self.conf) as f:
            return f.read()

    def tap_dsr(self):
        """Presses and releases the switch on DSR: the key it gave."""
        # A switch held while an edit is read counts from its next change:
        # no key then, and the next tap tells.
        self.sim.ask("press 3 DSR")
        try:
            key = until(lambda: next((k for k in ("Shift_L", "Control_L") if xdisplay.key_down(k)), None), "a key",
                        timeout=3)
        except AssertionError:
            key = None
        self.sim.ask("release 3 DSR")
        until(lambda: not (key and xdisplay.key_down(key)), "the key up")
        return key

    def windows(self):
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.sim.p.pid), ""],
                              capture_output=True, text=True).stdout.split()

    def open_by_key(self):
        return open_by_key(self.app, self.win)

    def test_settings_are_set_in_the_window_saved_in_place_and_in_force_at_once(self):
        # The main window as a screen reader names it.
        self.app.wait("COM-Port:", pyatspi.ROLE_COMBO_BOX)
        self.app.wait("Notizfeld")

        # Opened by the shortcut; Cancel writes nothing.
        before = self.file()
        dialog = self.open_by_key()
        if SHOTS:
            subprocess.run(["import", "-window", "root", os.path.join(SHOTS, "linux-settings.png")])
        key = self.app.wait("Taste", pyatspi.ROLE_COMBO_BOX, dialog)
        text = next(n for n in nodes(key) if n.getRole() == pyatspi.ROLE_TEXT)
        text.queryEditableText().setTextContents("Alt")
        self.app.press("Abbrechen", within=dialog)
        until(lambda: not dialog_shown(), "the window to close")
        self.assertEqual(self.file(), before)

        # Opened by a right click on the window; the lamps follow the line.
        shown = self.windows()
        subprocess.run(["xdotool", "mousemove", "--window", str(self.win), "100", "12", "click", "3"])
        menu = until(lambda: set(self.windows()) - set(shown), "the context menu").pop()
        subprocess.run(["xdotool", "mousemove", "--window", menu, "30", "10", "click", "1"])
        until(dialog_shown, "the settings window")
        dialog = self.app.wait("Tastlink - Einstellungen", pyatspi.ROLE_DIALOG)
        self.app.wait("DSR aus", within=dialog)
        self.sim.ask("press 3 DSR")
        self.app.wait("DSR an", within=dialog)
        self.sim.ask("release 3 DSR")
        self.app.wait("DSR aus", within=dialog)

        # "Schalter erkennen" takes the line that changes first.
        self.app.press("Schalter erkennen", within=dialog)
        self.app.wait("Bitte jetzt den Schalter betätigen …", within=dialog)
        self.sim.ask("press 3 DSR")
        self.app.wait("DSR erkannt.", within=dialog)
        self.sim.ask("release 3 DSR")
        key = self.app.wait("Taste", pyatspi.ROLE_COMBO_BOX, dialog)
        text = next(n for n in nodes(key) if n.getRole() == pyatspi.ROLE_TEXT)
        text.queryEditableText().setTextContents("Ctrl")
        self.app.press("OK", within=dialog)
        until(lambda: not dialog_shown(), "the window to close")
        self.assertEqual(self.file(), "; von Hand: bleibt\n[General]\nwait-for-port=false\n\n"
                                      "[switch1]\nline=DSR\nkey=Ctrl\n")

        # In force at once: the switch on DSR is Ctrl at the X server.
        self.sim.ask("press 3 DSR")
        until(lambda: xdisplay.key_down("Control_L"), "Ctrl down")
        self.sim.wait_label("STRG gedrückt")
        self.sim.ask("press 3")  # CTS has no switch now
        self.sim.ask("release 3 DSR")
        until(lambda: not xdisplay.key_down("Control_L"), "Ctrl up")
        self.assertFalse(xdisplay.shift_down())

        # The autostart checkbox writes the entry and takes it away.
        entry = os.path.join(self.home, AUTOSTART)
        for on in (True, False):
            dialog = self.open_by_key()
            self.app.press("Mit der Sitzung starten", pyatspi.ROLE_CHECK_BOX, dialog)
            self.app.press("Übernehmen", within=dialog)
            until(lambda: os.path.exists(entry) == on, "the autostart entry " + ("written" if on else "gone"))
            self.app.press("OK", within=dialog)
            until(lambda: not dialog_shown(), "the window to close")

        # A hand edit is in force once saved; a broken one is shown and
        # changes nothing.
        for text, note in (("[switch1]\nline=DSR\nkey=Shift\n", False), ("[switch1]\nline=DSR\nkaputt\n", True)):
            with open(self.conf + ".tmp", "w") as f:
                f.write(text)
            os.rename(self.conf + ".tmp", self.conf)  # as editors save
            if note:
                until(lambda: "Zeile 3" in self.sim.state().get("note", ""), "the mistake shown")
            # Nothing tells when the edit is read: the switch is pressed
            # until it gives Shift (Ctrl while the old setting holds).
            until(lambda: self.tap_dsr() == "Shift_L", "the hand edit in force")
        self.assertEqual(self.tap_dsr(), "Shift_L")


class TrayItem:
    """The program's status-notifier item as a desktop's panel sees it."""
    WATCHER = "org.kde.StatusNotifierWatcher"

    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)

    def watcher_up(self):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         (self.WATCHER,), "(s)")[0]

    def registered(self):
        items = until(lambda: self.get(self.WATCHER, "/StatusNotifierWatcher", self.WATCHER,
                                       "RegisteredStatusNotifierItems"), "the tray icon registered")
        self.service, path = items[-1].split("/", 1)
        self.path = "/" + path
        return self

    def call(self, service, path, iface, method, args, signature):
        return self.bus.call_sync(service, path, iface, method, GLib.Variant(signature, args), None, 0, -1,
                                  None).unpack()

    def get(self, service, path, iface, name):
        return self.call(service, path, "org.freedesktop.DBus.Properties", "Get", (iface, name), "(ss)")[0]

    def prop(self, name):
        return self.get(self.service, self.path, "org.kde.StatusNotifierItem", name)

    def tooltip(self):
        return self.prop("ToolTip")[2]

    def icon(self):
        # A point on the left pause bar, inside the ring: green while the
        # key is down, dark while paused, clear while up.
        data = next(d for w, h, d in self.prop("IconPixmap") if w == 64)
        a, r, g, b = data[(32 * 64 + 24) * 4:][:4]
        return "gedrückt" if g > r + 64 else "pausiert" if a > 128 else "los"

    def menu(self):
        _, (_, _, items) = self.call(self.service, self.prop("Menu"), "com.canonical.dbusmenu", "GetLayout",
                                     (0, -1, []), "(iias)")
        return {p["label"].replace("_", ""): i for i, p, _ in items if "label" in p}

    def click(self, label):
        self.call(self.service, self.prop("Menu"), "com.canonical.dbusmenu", "Event",
                  (self.menu()[label], "clicked", GLib.Variant("i", 0), 0), "(isvu)")


class Heard:
    """Name changes a screen reader is told of, in their order."""

    def __init__(self):
        self.names = []
        pyatspi.Registry.registerEventListener(self.names_changed, "object:property-change:accessible-name")

    def names_changed(self, event):
        # Qt sends the object, not its new name: the name is asked anew.
        event.source.clear_cache()
        self.names.append(event.source.name)

    def __call__(self, name):
        while GLib.MainContext.default().iteration(False):
            pass
        return name in self.names

    def end(self):
        pyatspi.Registry.deregisterEventListener(self.names_changed, "object:property-change:accessible-name")


@needs_x_and_atspi
class TrayIcon(unittest.TestCase):
    """The tray as a desktop's panel shows it (a status-notifier host on this
    session's bus), and where there is none; the status line as heard."""

    def test_the_tray_icon_on_a_panel_and_the_status_as_heard(self):
        home = tempfile.mkdtemp(prefix="tastlink-tray-")
        self.addCleanup(shutil.rmtree, home, True)
        write_settings(home, "[General]\nminimized=true\nminimize-to-tray=true\n[switch1]\nkey=Ctrl+Shift+F5\n")
        keys = ("Control_L", "Shift_L", "F5")

        def start():
            sim = Sim("3", home=home, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
            self.addCleanup(sim.end)
            until(lambda: sim.state().get("label"), "the program started")
            sim.watcher = key_watcher(sim.p.pid)
            return sim

        # No panel: the window is minimized instead, and the dialog says why.
        sim = start()
        until(lambda: sim.state().get("minimized"), "the window minimized")
        app = App(sim.p.pid)
        dialog = open_by_key(app, window_ids(sim.p.pid)[0])
        app.wait("Kein Infobereich verfügbar: Tastlink wird stattdessen in die Taskleiste minimiert.", within=dialog)
        sim.end()

        # A panel: the program starts into it; the icon and its tooltip
        # follow the switch, its menu drives the program.
        host = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "tray_host.py")])
        self.addCleanup(host.kill)
        tray = TrayItem()
        until(tray.watcher_up, "the panel")
        heard = Heard()
        self.addCleanup(heard.end)
        sim = start()
        tray.registered()
        self.assertNotIn("visible", sim.state())
        until(lambda: tray.tooltip() == sim.state()["label"], "the status as the tooltip")
        self.assertEqual(tray.icon(), "los")
        tray.click("Fenster anzeigen")
        until(lambda: sim.state().get("visible"), "the window shown")
        tray.click("Einstellungen…")
        until(dialog_shown, "the settings window")
        app = App(sim.p.pid)
        app.press("Abbrechen", within=app.wait("Tastlink - Einstellungen", pyatspi.ROLE_DIALOG))
        until(lambda: not dialog_shown(), "the settings window closed")

        # Too long for the status line: shortened there, whole for the ear
        # and in the tooltip.
        sim.ask("press 3")
        until(lambda: xdisplay.key_down("F5"), "the keys down")
        until(lambda: heard("STRG+UMSCHALT+F5 gedrückt"), "the status heard whole")
        self.assertEqual(heard.names.count("STRG+UMSCHALT+F5 gedrückt"), 1, "told once")
        self.assertEqual(sim.state()["label"], "STRG+UMSCH+F5 gedr.")
        self.assertEqual((tray.tooltip(), tray.icon()), ("STRG+UMSCHALT+F5 gedrückt", "gedrückt"))

        # Paused: keys up, nothing sent until it goes on.
        tray.click("Pausieren")
        until(lambda: tray.tooltip() == "Pausiert", "paused")
        until(lambda: not any(xdisplay.key_down(k) for k in keys), "the keys up")
        self.assertEqual(tray.icon(), "pausiert")
        sim.ask("release 3")
        sim.ask("press 3")
        self.assertEqual(sim.ask("settle 3"), "ok")  # taken in while paused
        self.assertFalse(any(xdisplay.key_down(k) for k in keys))
        tray.click("Fortsetzen")
        until(lambda: tray.tooltip() == "Fortgesetzt", "going on")
        self.assertFalse(any(xdisplay.key_down(k) for k in keys))
        sim.ask("release 3")
        sim.ask("press 3")
        until(lambda: xdisplay.key_down("F5"), "the keys down again")

        # Ended from the tray with the keys down: they go up.
        tray.click("Beenden")
        until(lambda: gone(sim.p.pid), "the program ended")
        until(lambda: not any(xdisplay.key_down(k) for k in keys), "the keys up")



def main():
    # The accessibility bus this session's programs talk to.
    bus = None
    if pyatspi and os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        bus = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        until(lambda: subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                                      "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                                     capture_output=True).returncode == 0, "the accessibility bus")
    try:
        unittest.main()
    finally:
        if bus:
            bus.terminate()


if __name__ == "__main__":
    main()
