"""The Windows program under wine64 where it used to give way: a line that
floods, a driver that cannot wait for line events, a port busy while the
program waits, a second copy for the port in use, and a crash while keys
are being pressed. Runs inside wine-namespace.sh with the suite's helpers."""
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_windows as tw  # noqa: E402
from test_windows import CTS, SHIFT, keys_down, main_state, until  # noqa: E402

setUpModule = tw.setUpModule
tearDownModule = tw.tearDownModule


@unittest.skipUnless(tw.INTERPOSER and os.path.exists(tw.INTERPOSER), "needs the modem-line interposer")
class Hardening(unittest.TestCase):
    setUp = tw.Switches.setUp
    start = tw.Switches.start
    launch = tw.Switches.launch
    lines = tw.Switches.lines

    def test_a_flood_of_changes_keeps_the_program_up_and_the_key_on_the_line(self):
        p = self.start()
        tw.inspect("move")  # and the window in its move loop meanwhile
        # The loop puts the pointer on the window (so wine takes X's key
        # state): begun before the flood, not under a key the flood leaves down.
        until(lambda: main_state().get("moving") == "1", "the move loop")
        state, end = 0, time.monotonic() + 4
        while time.monotonic() < end:
            state ^= CTS
            self.lines(state)
            time.sleep(0.001)
        tw.inspect("keys", "esc")
        for bits, down in ((CTS, {SHIFT}), (0, set()), (CTS, {SHIFT})):
            self.lines(bits)
            until(lambda: keys_down() == down, "the key where the line is")
        self.assertIsNone(p.poll(), "the flood ended the program")

    def test_a_driver_that_cannot_wait_for_events_is_sampled(self):
        tw.ENV["TASTLINK_MODEM_NO_EVENTS"] = "1"
        self.addCleanup(tw.ENV.pop, "TASTLINK_MODEM_NO_EVENTS")
        self.start()
        for bits, down in ((CTS, {SHIFT}), (0, set()), (CTS, {SHIFT}), (0, set())):
            self.lines(bits)
            until(lambda: keys_down() == down, "the key where the line is")
        self.assertEqual(main_state()["label"], "SHIFT losgelassen")

    def test_waiting_takes_a_busy_port_once_it_is_free(self):
        holder = subprocess.Popen([tw.WINE, tw.INSPECT, "hold", "3"], env=tw.ENV, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: holder.poll() is None and holder.kill())
        self.assertEqual(holder.stdout.readline().strip(), "held")
        self.start(["--wait-for-port"], shown=False)
        until(lambda: main_state().get("label") == "Anschluss verweigert", "the wait, with its reason")
        self.assertIn("COM3", until(lambda: tw.inspect("note"), "the note naming the port"))
        holder.stdin.close()
        holder.wait(60)
        until(lambda: main_state().get("label") == "Kein Kabel gefunden", "the port taken once free")
        self.lines(CTS)
        until(lambda: keys_down() == {SHIFT}, "Shift down")

    def test_a_second_copy_for_the_port_in_use_shows_the_first_and_ends(self):
        self.start(ports=(3, 12))
        self.assertEqual(main_state()["selected"], "0")
        self.assertEqual(self.launch("--port", "COM3").wait(60), 0)
        self.assertEqual(main_state()["copies"], "1")
        other = self.launch("--port", "COM12")
        until(lambda: main_state().get("copies") == "2", "a copy for the other port")
        tw.inspect("close")
        self.assertEqual(other.wait(60), 0)


    def test_a_crash_in_another_thread_while_the_line_floods_leaves_no_key_down(self):
        # The fault comes from outside, in a thread of the program's own
        # that is not the window's, while the window's thread is pressing.
        for i in range(int(os.environ.get("TASTLINK_CRASH_RUNS_E2E", "3"))):
            p, stop = self.start(), threading.Event()

            def flood(n=0):
                while not stop.wait(0.002):
                    n ^= CTS
                    self.lines(n)
            flooder = threading.Thread(target=flood)
            flooder.start()
            try:
                until(lambda: main_state().get("label", "").startswith("SHIFT"), "the flood followed")
                self.assertEqual(tw.inspect("crash"), "", "run %d: no thread started in the program" % i)
                p.wait(300)
            finally:
                stop.set()
                flooder.join()
            self.assertEqual(keys_down(), set(), "run %d: a key left down by the crash" % i)
            self.doCleanups()


class CrashWhileBusy(unittest.TestCase):
    def test_no_key_stays_down_after_a_crash_while_keys_are_pressed(self):
        runs = int(os.environ.get("TASTLINK_CRASH_RUNS", "20"))
        for i in range(runs):
            r = subprocess.run([tw.WINE, os.path.join(tw.BIN, "tests", "test_win32.exe"), "--gtest_filter=Win32Crash.*"],
                               env=dict(tw.ENV, TASTLINK_CRASH="busy"), capture_output=True, text=True, timeout=180)
            self.assertIn("shift down before the crash", r.stdout, i)
            self.assertNotIn("[       OK ] Win32Crash", r.stdout, i)
            self.assertFalse(tw.shift_down(), "run %d: Shift left down" % i)


if __name__ == "__main__":
    unittest.main()
