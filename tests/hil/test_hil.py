"""Hardware in the loop, in a virtual machine: the guest runs a stock Debian
kernel (real 8250 UART driver, real uinput and evdev) and tastlink on Qt's
offscreen platform. The guest's first UART is backed by a host
pseudo-terminal whose modem lines this test drives through the LD_PRELOAD
interposer loaded into QEMU; QEMU polls them (every 10 ms) and raises the
guest UART's modem-status interrupt on a change. The guest agent reports
the virtual keyboard's Shift through evdev.

Environment: TASTLINK_BIN, HIL_AGENT, HIL_INTERPOSER, HIL_MKINITRAMFS."""
import glob
import mmap
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

TIOCM_DTR, TIOCM_RTS, TIOCM_CTS = 0x002, 0x004, 0x020
KERNELS = sorted(glob.glob("/boot/vmlinuz-*-amd64"))
QEMU = shutil.which("qemu-system-x86_64")
VM = None


def until(check, what, timeout=30.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Machine:
    def __init__(self):
        kernel = KERNELS[-1]
        release = os.path.basename(kernel)[len("vmlinuz-"):]
        self.dir = tempfile.mkdtemp(prefix="tastlink-hil-")
        initrd = os.path.join(self.dir, "initrd.gz")
        subprocess.run([os.environ["HIL_MKINITRAMFS"], release, os.environ["TASTLINK_BIN"],
                        os.environ["HIL_AGENT"], initrd], check=True)
        # The test keeps a slave descriptor open for the VM's whole life: with
        # none open (QEMU opens its own late on a busy machine), the master
        # reads as hung up (EIO).
        self.master, self.slave = pty.openpty()
        path = os.ttyname(self.slave)
        state = os.path.join(self.dir, "modem")
        with open(state, "wb") as f:
            f.write(b"\0" * 16)
        self.state = mmap.mmap(os.open(state, os.O_RDWR), 16)
        env = dict(os.environ, LD_PRELOAD=os.environ["HIL_INTERPOSER"], TASTLINK_MODEM_PTY=path,
                   TASTLINK_MODEM_STATE=state)
        self.qemu = subprocess.Popen(
            [QEMU, "-machine", "pc", "-accel", "tcg", "-m", "768", "-nodefaults", "-no-reboot", "-display", "none",
             "-kernel", kernel, "-initrd", initrd, "-append", "console=ttyS1 quiet loglevel=1 panic=-1",
             # ttyS0: the button's UART, on the pty; ttyS1: the agent's console.
             "-serial", path, "-serial", "stdio"],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.buf = b""
        self.expect("ready", 180)

    def line(self, timeout):
        end = time.monotonic() + timeout
        while b"\n" not in self.buf and time.monotonic() < end:
            ready, _, _ = select.select([self.qemu.stdout], [], [], 0.2)
            if ready:
                data = os.read(self.qemu.stdout.fileno(), 4096)
                if not data:
                    break
                self.buf += data
            # The guest's side of the pty may write; keep it drained.
            ready, _, _ = select.select([self.master], [], [], 0)
            if ready:
                os.read(self.master, 4096)
        if b"\n" not in self.buf:
            raise AssertionError("the guest did not answer")
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def expect(self, prefix, timeout=60):
        while True:
            line = self.line(timeout)
            if line.startswith("@@ "):
                if not line[3:].startswith(prefix):
                    raise AssertionError("guest said %r, not %r" % (line, prefix))
                return line[3:]

    def ask(self, command, timeout=60):
        self.qemu.stdin.write((command + "\n").encode())
        self.qemu.stdin.flush()
        while True:
            line = self.line(timeout)
            if line.startswith("@@ "):
                return line[3:]

    def cts(self, on):
        self.state[0:4] = struct.pack("i", TIOCM_CTS if on else 0)

    def outputs(self):
        return struct.unpack("i", self.state[4:8])[0]

    def polls(self):
        return struct.unpack("I", self.state[8:12])[0]

    def await_polling(self):
        """QEMU samples the host lines only while the guest has the UART's
        modem-status interrupt on, that is while tastlink waits on the line.
        Until then the guest sees stale lines, so a press must wait for it."""
        def moving():
            before = self.polls()
            time.sleep(0.1)
            return self.polls() - before >= 3
        until(moving, "tastlink to wait on the line", 120)

    def key(self):
        return self.ask("key")

    def counts(self):
        fields = dict(kv.split("=") for kv in self.ask("counts").split())
        return {k: int(v) for k, v in fields.items()}

    def close(self):
        self.qemu.kill()
        self.qemu.wait()
        os.close(self.master)
        os.close(self.slave)
        shutil.rmtree(self.dir, ignore_errors=True)


def setUpModule():
    global VM
    VM = Machine()


def tearDownModule():
    if VM:
        VM.close()


class RealUartAndUinput(unittest.TestCase):
    """In order: each scenario leaves tastlink as the next one needs it."""

    def start(self):
        VM.cts(False)
        started = VM.ask("start", 120)
        self.assertTrue(started.startswith("started"))
        # The port probe's brief open raises DTR and RTS too, and on a busy
        # machine the line opens seconds later: only a line thread asleep in
        # the UART's modem-status wait has taken its snapshot of the lines,
        # after which a press counts (before it, it is held at start-up).
        until(lambda: "wait_modem_status" in VM.ask("waiting"), "tastlink to wait on the line", 120)
        until(lambda: VM.outputs() & (TIOCM_DTR | TIOCM_RTS) == TIOCM_DTR | TIOCM_RTS, "DTR and RTS")
        VM.await_polling()
        return int(started.split()[1])

    def press(self):
        VM.cts(True)
        until(lambda: VM.key() == "key=1", "Shift down")

    def release(self):
        VM.cts(False)
        until(lambda: VM.key() == "key=0", "Shift up")

    def test_1_buttons_and_short_presses(self):
        pid = self.start()
        # The probe left the console's settings alone; the line holds its
        # port's lock file.
        self.assertEqual(VM.ask("marks"), "console115200=1 lock=%d" % pid)
        self.press()
        self.release()
        # 50 presses in a row, each held longer than QEMU's 10 ms poll.
        base = VM.counts()
        for _ in range(50):
            VM.cts(True)
            time.sleep(0.06)
            VM.cts(False)
            time.sleep(0.06)
        until(lambda: VM.counts()["ups"] - base["ups"] >= 50, "50 releases", 60)
        c = VM.counts()
        self.assertEqual((c["downs"] - base["downs"], c["ups"] - base["ups"]), (50, 50))
        # Shorter than QEMU's poll: seen whole or not at all, never stuck.
        for _ in range(20):
            VM.cts(True)
            VM.cts(False)
            time.sleep(0.05)
        time.sleep(0.5)
        c = VM.counts()
        self.assertEqual(c["downs"], c["ups"])
        self.assertEqual(VM.key(), "key=0")

    def test_2_sigterm_while_pressed_lets_shift_up(self):
        self.press()
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")
        c = VM.counts()
        self.assertEqual(c["last"], 0)
        self.assertEqual(c["downs"], c["ups"])
        until(lambda: VM.outputs() & TIOCM_DTR == 0, "DTR dropped as the port closed")
        self.assertEqual(VM.ask("marks"), "console115200=1 lock=none")

    def test_3_sigkill_while_pressed_the_kernel_lets_shift_up(self):
        # Its lock file stays behind, stale: test 4's start takes it over.
        self.start()
        self.press()
        self.assertEqual(VM.ask("signal %d" % signal.SIGKILL), "ended signaled=9 exit=-1")
        until(lambda: VM.counts()["gone"] == 1, "the virtual keyboard to go")
        self.assertEqual(VM.counts()["last"], 0)

    def test_4_hang_up_while_pressed(self):
        pid = self.start()
        self.assertEqual(VM.ask("marks"), "console115200=1 lock=%d" % pid, "the stale lock taken over")
        self.press()
        self.assertEqual(VM.ask("hangup"), "hung up")
        until(lambda: VM.counts()["last"] == 0, "Shift up after the hang-up")
        report = until(lambda: "abgerissen" in VM.ask("report") and VM.ask("report"), "the German report")
        self.assertIn("Laufzeitfehler 8015", report)
        self.assertIn("COM1 (/dev/ttyS0)", report)
        # The report waits for a click nobody can give on the offscreen
        # platform; end the program here.
        VM.ask("signal %d" % signal.SIGKILL)


if __name__ == "__main__":
    if not (QEMU and KERNELS and os.path.exists("/bin/busybox")):
        print("skipped: needs qemu-system-x86_64, a Debian kernel in /boot and busybox")
        sys.exit(77)
    unittest.main()
