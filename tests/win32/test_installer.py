"""The setup programs: both checked like the executables, the 64-bit one run
under wine64 in a prefix of its own (TASTLINK_WINEPREFIX), inside
wine-namespace.sh. TASTLINK_SETUP and TASTLINK_SETUP32 are the two."""
import os
import shutil
import struct
import subprocess
import unittest

import test_windows as tw
from test_windows import tearDownModule, until  # noqa: F401 (unittest runs it)

SETUP = os.environ["TASTLINK_SETUP"]
SETUP32 = os.environ.get("TASTLINK_SETUP32", "")
USER = os.path.dirname(os.path.dirname(tw.APPDATA))  # ...\users\<name>\AppData
INSTDIR = os.path.join(USER, "Local", "Programs", "Tastlink")
EXE = os.path.join(INSTDIR, "Tastlink.exe")
LINK = os.path.join(USER, "Roaming", "Microsoft", "Windows", "Start Menu", "Programs", "Tastlink.lnk")
UNINST = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tastlink"
RUN = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
with open(os.path.join(os.path.dirname(__file__), "..", "..", "src", "main", "tastlink.ico"), "rb") as f:
    ico = f.read()
ICON_IMAGES = [ico[at:at + size] for size, at in
               (struct.unpack_from("<II", ico, 14 + 16 * i) for i in range(struct.unpack_from("<H", ico, 4)[0]))]
# What Windows itself provides besides the program's own DLLs.
SETUP_DLLS = tw.SYSTEM_DLLS | {"shell32.dll", "comctl32.dll", "ole32.dll"}


def setUpModule():
    # Each run meets a Windows that has never seen Tastlink: nothing an
    # earlier, interrupted run installed.
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=tw.ENV, stderr=subprocess.DEVNULL)
    shutil.rmtree(tw.PREFIX, ignore_errors=True)
    tw.setUpModule()


def values(key):
    """A registry key's values, {} when the key is not there."""
    out = tw.wine("reg", "query", key).stdout
    return {p[0]: p[2] if len(p) > 2 else "" for p in (line.split(None, 2) for line in out.splitlines())
            if len(p) > 1 and p[1].startswith("REG_")}


def start(*args):
    # Not captured: a Tastlink the setup starts again would hold the pipe.
    return subprocess.Popen([tw.WINE, *args], env=tw.ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def install(*options):
    assert start(SETUP, "/S", *options).wait(300) == 0


def uninstall():
    # The uninstaller runs on from a copy in %TEMP%; the last thing it does
    # is taking its key away.
    start(os.path.join(INSTDIR, "Uninstall.exe"), "/S").wait(300)
    until(lambda: not values(UNINST), "the uninstall finished", 300)


def settings(text=None):
    path = os.path.join(tw.APPDATA, "tastlink.ini")
    if text is not None:
        os.makedirs(tw.APPDATA, exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    return open(path).read() if os.path.exists(path) else None


class SetupPrograms(unittest.TestCase):
    def test_version_record_and_imports(self):
        setups = [("64", SETUP)] + ([("32", SETUP32)] if SETUP32 else [])
        for bits, setup in setups:
            dump = subprocess.run([tw.OBJDUMP[bits], "-p", setup], capture_output=True, text=True).stdout
            dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
            self.assertTrue(dlls and dlls <= SETUP_DLLS, (setup, dlls))
            # The program's icon, not the installer kit's: each of its images, as they are.
            with open(setup, "rb") as f:
                data = f.read()
            self.assertTrue(ICON_IMAGES and all(image in data for image in ICON_IMAGES), setup)
        r = subprocess.run([tw.WINE, os.path.join(tw.BIN, "tests", "test_win32.exe"),
                            "--gtest_filter=Win32Version.RecordOfTheSetupPrograms"],
                           env=dict(tw.ENV, TASTLINK_SETUPS=";".join("Z:" + s.replace("/", "\\") for _, s in setups)),
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout[-3000:] + r.stderr[-3000:])
        self.assertNotIn("SKIPPED", r.stdout)


# Wine starts programs slowly on a loaded machine: windows are waited for up
# to five minutes (the wait ends as soon as they show).
class InstallUnderWine(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(tw.APPDATA, ignore_errors=True)
        self.ports = tw.Ports([3])
        self.addCleanup(self.ports.close)
        self.addCleanup(lambda: values(UNINST) and uninstall())

    def run_installed(self, *args):
        p = start(EXE, *args)
        self.addCleanup(lambda: p.poll() is None and (tw.inspect("close"), p.wait(30)))
        try:
            until(tw.shown_main, "the installed Tastlink's window", 300)
        except AssertionError as e:
            # What it shows instead, if anything: a report, a hidden window.
            raise AssertionError("%s; report %r; window %r; running %s"
                                 % (e, tw.inspect("box"), tw.inspect("main"), p.poll() is None)) from None
        return p

    def test_silent_install_then_uninstall_over_a_running_copy(self):
        install()
        for name in ("Tastlink.exe", "Uninstall.exe", "LICENSE.txt", "LIESMICH.txt", "README.txt"):
            self.assertTrue(os.path.isfile(os.path.join(INSTDIR, name)), name)
        self.assertTrue(os.path.isfile(LINK))
        key = values(UNINST)
        win = INSTDIR.split("drive_c", 1)[1].replace("/", "\\")
        self.assertEqual({k: key.get(k) for k in ("DisplayName", "DisplayVersion", "Publisher")},
                         {"DisplayName": "Tastlink", "DisplayVersion": "1.0.0", "Publisher": "The Tastlink developers"})
        self.assertTrue(key["DisplayIcon"].lower().endswith(win.lower() + "\\tastlink.exe,0"), key)
        self.assertTrue(key["UninstallString"].lower().endswith(win.lower() + '\\uninstall.exe"'), key)
        self.assertGreater(int(key["EstimatedSize"], 16), 100, "size in KiB")
        # The entry is the one the program itself writes.
        entry = values(RUN).get("Tastlink")
        self.assertTrue(entry and entry.lower().endswith('tastlink.exe" --minimized --wait-for-port'), entry)
        p = start(EXE, "--autostart", "on")
        until(lambda: tw.inspect("box"), "the answer")
        tw.inspect("ok")
        p.wait(60)
        self.assertEqual(values(RUN).get("Tastlink"), entry)
        install()  # once more, as an upgrade without options: autostart stays on
        self.assertEqual(values(RUN).get("Tastlink"), entry)

        settings("[General]\nremember=false\n")
        running = self.run_installed()
        uninstall()
        self.assertEqual(running.wait(60), 0, "closed as by its close button")
        self.assertFalse(os.path.exists(INSTDIR))
        self.assertFalse(os.path.exists(LINK))
        self.assertNotIn("Tastlink", values(RUN))
        self.assertEqual(settings(), "[General]\nremember=false\n", "the settings kept")

    def test_uninstall_while_a_copy_shows_only_its_report(self):
        # A mistake in the settings file: the copy shows a box, no window.
        install()
        settings("[switch1]\nkey=Nonsense\n")
        p = start(EXE)
        until(lambda: tw.inspect("box"), "the report on the settings file")
        uninstall()
        self.assertEqual(p.wait(60), 2, "ended by closing its box, not terminated")
        self.assertFalse(os.path.exists(INSTDIR))
        self.assertEqual(settings(), "[switch1]\nkey=Nonsense\n")

    def test_upgrade_over_a_running_copy_keeps_settings_and_the_autostart_choice(self):
        install("/AUTOSTART=0")
        self.assertNotIn("Tastlink", values(RUN))
        # A copy from the ZIP starts with Windows: its entry, not this install's.
        portable = r"C:\Tastlink\Tastlink.exe --minimized"
        tw.wine("reg", "add", RUN, "/v", "Tastlink", "/d", portable, "/f")
        settings("[switch1]\nkey=Ctrl\n")
        running = self.run_installed("--minimized")
        install()
        self.assertEqual(running.wait(60), 0, "closed as by its close button")
        self.assertEqual(values(RUN).get("Tastlink"), portable, "autostart switched on by the upgrade")
        self.assertEqual(settings(), "[switch1]\nkey=Ctrl\n")
        # Started again, minimized as it was, and the only copy.
        until(lambda: tw.main_state().get("iconic") == "1", "Tastlink started again, minimized", 300)
        self.assertEqual(tw.main_state()["copies"], "1")
        tw.inspect("close")


if __name__ == "__main__":
    unittest.main()
