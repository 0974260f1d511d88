"""Hardware in the loop, in a virtual machine: the guest runs a stock Debian
kernel (real 8250 UART driver, real uinput and evdev) and tastlink on Qt's
offscreen platform. The guest's first UART is backed by a host
pseudo-terminal whose modem lines this test drives through the LD_PRELOAD
interposer loaded into QEMU; QEMU polls them (every 10 ms) and raises the
guest UART's modem-status interrupt on a change. A USB-serial adapter
(QEMU's FTDI, the guest's ftdi_sio) sits on a second pty, answered the same
way, and QEMU's monitor pulls it out and plugs it back in. The guest agent
reports the virtual keyboard's Shift through evdev.

Environment: TASTLINK_BIN, HIL_AGENT, HIL_INTERPOSER, HIL_MKINITRAMFS."""
import glob
import json
import mmap
import os
import pty
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

TIOCM_DTR, TIOCM_RTS, TIOCM_CTS, TIOCM_RI = 0x002, 0x004, 0x020, 0x080
UART, USB = 0, 1  # the lines, in the interposer's order
RECORD = 20  # bytes of the interposer's struct modem_state for each line
# Always into the same socket: QEMU makes the adapter's serial number from
# it, and a real adapter keeps its own.
ADAPTER = dict(driver="usb-serial", chardev="usbline", id="adapter", bus="xhci.0", port="1")
# Where tastlink's line thread sleeps once it waits on each line's modem
# status: the UART's serial core, the USB-serial core.
LINE_WAIT = {UART: "wait_modem_status", USB: "tiocmiwait"}
KERNELS = sorted(glob.glob("/boot/vmlinuz-*-amd64"))
QEMU = shutil.which("qemu-system-x86_64")
VM = None


def until(check, what, timeout=180.0, pause=0.02, seen=None):
    # The condition ends the wait: the bound is for a busy host, where the
    # emulated machine runs many times slower. `seen` says what was there
    # instead, for the report.
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(pause)
    raise AssertionError("timed out waiting for " + what + (" (seen: %s)" % seen() if seen else ""))


class Qmp:
    """QEMU's monitor, one command at a time; events are kept for waits."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        until(lambda: self.sock.connect_ex(path) == 0, "QEMU's monitor")
        self.file = self.sock.makefile("rwb")
        self.events = []
        self.receive()  # the greeting
        self.run("qmp_capabilities")

    def receive(self):
        line = self.file.readline()
        if not line:
            raise AssertionError("QEMU's monitor closed")
        return json.loads(line)

    def run(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self.file.flush()
        while True:
            answer = self.receive()
            if "event" in answer:
                self.events.append(answer)
            elif "error" in answer:
                raise AssertionError("%s: %s" % (command, answer["error"]))
            elif "return" in answer:
                return answer["return"]

    def event(self, name, timeout=300):
        self.sock.settimeout(timeout)
        try:
            while not any(e["event"] == name for e in self.events):
                self.events.append(self.receive())
        finally:
            self.sock.settimeout(None)
        self.events = [e for e in self.events if e["event"] != name]

    def close(self):
        self.file.close()
        self.sock.close()


class Machine:
    def __init__(self):
        kernel = KERNELS[-1]
        release = os.path.basename(kernel)[len("vmlinuz-"):]
        self.dir = tempfile.mkdtemp(prefix="tastlink-hil-")
        initrd = os.path.join(self.dir, "initrd.gz")
        subprocess.run([os.environ["HIL_MKINITRAMFS"], release, os.environ["TASTLINK_BIN"],
                        os.environ["HIL_AGENT"], initrd], check=True)
        # Two lines, each on a pty: the UART and the USB adapter. The test
        # keeps a slave descriptor open for the VM's whole life: with none
        # open (QEMU opens its own late on a busy machine), the master reads
        # as hung up (EIO).
        self.ptys = [pty.openpty() for _ in (UART, USB)]
        paths = [os.ttyname(slave) for _, slave in self.ptys]
        state = os.path.join(self.dir, "modem")
        with open(state, "wb") as f:
            f.write(b"\0" * RECORD * 2)
        self.state = mmap.mmap(os.open(state, os.O_RDWR), RECORD * 2)
        env = dict(os.environ, LD_PRELOAD=os.environ["HIL_INTERPOSER"], TASTLINK_MODEM_PTY=":".join(paths),
                   TASTLINK_MODEM_STATE=state)
        self.qmp_path = os.path.join(self.dir, "qmp")
        self.qemu = subprocess.Popen(
            [QEMU, "-machine", "pc", "-accel", "tcg", "-m", "768", "-nodefaults", "-no-reboot", "-display", "none",
             "-kernel", kernel, "-initrd", initrd, "-append", "console=ttyS1 quiet loglevel=1 panic=-1",
             # ttyS0: the button's UART, on the pty; ttyS1: the agent's console.
             "-serial", paths[UART], "-serial", "stdio",
             # An FTDI adapter on xHCI, its serial side on the other pty.
             "-device", "qemu-xhci,id=xhci", "-chardev", "serial,id=usbline,path=" + paths[USB],
             "-device", ",".join("%s=%s" % kv for kv in ADAPTER.items()),
             "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.buf = b""
        self.expect("ready", 900)
        self.qmp = Qmp(self.qmp_path)

    def line(self, timeout):
        end = time.monotonic() + timeout
        while b"\n" not in self.buf and time.monotonic() < end:
            ready, _, _ = select.select([self.qemu.stdout], [], [], 0.2)
            if ready:
                data = os.read(self.qemu.stdout.fileno(), 4096)
                if not data:
                    break
                self.buf += data
            # The guest's side of the ptys may write; keep them drained.
            ready, _, _ = select.select([master for master, _ in self.ptys], [], [], 0)
            for master in ready:
                os.read(master, 4096)
        if b"\n" not in self.buf:
            raise AssertionError("the guest did not answer")
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def expect(self, prefix, timeout=300):
        while True:
            line = self.line(timeout)
            if line.startswith("@@ "):
                if not line[3:].startswith(prefix):
                    raise AssertionError("guest said %r, not %r" % (line, prefix))
                return line[3:]

    def ask(self, command, timeout=300):
        self.qemu.stdin.write((command + "\n").encode())
        self.qemu.stdin.flush()
        while True:
            line = self.line(timeout)
            if line.startswith("@@ "):
                return line[3:]

    def cts(self, on, line=UART):
        self.inputs(TIOCM_CTS if on else 0, line)

    def inputs(self, bits, line=UART):
        self.state[RECORD * line:RECORD * line + 4] = struct.pack("i", bits)

    def outputs(self, line=UART):
        return struct.unpack("i", self.state[RECORD * line + 4:RECORD * line + 8])[0]

    def clear_outputs(self, line):
        self.state[RECORD * line + 4:RECORD * line + 8] = bytes(4)

    def nudge(self):
        """QEMU's FTDI reports its modem lines only in front of received
        data (a real one sends them every few milliseconds anyway), so one
        byte makes it tell the guest what the interposer says."""
        os.write(self.ptys[USB][0], b"\0")

    def polls(self):
        return struct.unpack("I", self.state[8:12])[0]

    def await_polling(self):
        """QEMU samples the host lines only while the guest has the UART's
        modem-status interrupt on, that is while tastlink waits on the line.
        Until then the guest sees stale lines, so a press must wait for it."""
        def moving():
            before = self.polls()
            time.sleep(0.5)
            return self.polls() - before >= 3
        until(moving, "tastlink to wait on the line")

    def key(self):
        return self.ask("key")

    def edges(self, device="ttyS0"):
        return int(self.ask("edges " + device).split()[1])

    def counts(self):
        fields = dict(kv.split("=") for kv in self.ask("counts").split())
        return {k: int(v) for k, v in fields.items()}

    def close(self):
        self.qemu.kill()
        self.qemu.wait()
        self.qmp.close()
        for fds in self.ptys:
            for fd in fds:
                os.close(fd)
        shutil.rmtree(self.dir, ignore_errors=True)


def setUpModule():
    global VM
    VM = Machine()


def tearDownModule():
    if VM:
        VM.close()


class RealUartAndUinput(unittest.TestCase):
    """In order: each scenario leaves tastlink as the next one needs it."""

    def start(self, line=UART, args=""):
        # One an earlier failure left running would hold the port.
        if VM.ask("alive") == "alive":
            VM.ask("signal %d" % signal.SIGKILL)
        VM.cts(False, line)
        started = VM.ask(("start " + args).strip())
        self.assertTrue(started.startswith("started"))
        self.await_line(line)
        return int(started.split()[1])

    def await_line(self, line):
        # The port probe's brief open raises DTR and RTS too, and on a busy
        # machine the line opens seconds later: only a line thread asleep in
        # the modem-status wait has taken its snapshot of the lines, after
        # which a press counts (before it, it is held at start-up).
        until(lambda: LINE_WAIT[line] in VM.ask("waiting"), "tastlink to wait on the line",
              seen=lambda: "%s, %s, %s" % (VM.ask("waiting"), VM.ask("alive"), VM.ask("report")))
        until(lambda: VM.outputs(line) & (TIOCM_DTR | TIOCM_RTS) == TIOCM_DTR | TIOCM_RTS, "DTR and RTS")
        if line == UART:
            VM.await_polling()

    def button(self, down, line):
        VM.cts(down, line)
        want = "key=%d" % down
        if line == UART:
            until(lambda: VM.key() == want, want)
        else:
            # Nudged again now and then: a byte may wait in QEMU while the
            # guest is slow to ask for it, and the lines go with the next.
            until(lambda: VM.nudge() or VM.key() == want, want, pause=0.5)

    def press(self, line=UART):
        self.button(True, line)

    def release(self, line=UART):
        self.button(False, line)

    def test_1_buttons_and_short_presses(self):
        pid = self.start()
        # The probe left the console's settings alone; the line holds its
        # port's lock file.
        self.assertEqual(VM.ask("marks"), "console115200=1 lock=%d" % pid)
        self.press()
        self.release()
        # 50 presses in a row, each held longer than QEMU's 10 ms poll and
        # until the guest's UART driver has counted the edge: QEMU polls
        # only when it gets to, and on a busy host no fixed hold is enough.
        base = VM.counts()
        edges = VM.edges()
        for _ in range(50):
            for down in (True, False):
                VM.cts(down)
                time.sleep(0.06)
                edges += 1
                until(lambda: VM.edges() >= edges, "the UART to count the edge")
        until(lambda: VM.counts()["ups"] - base["ups"] >= 50, "50 releases")
        c = VM.counts()
        # None dropped by evdev either, or the count would not be tastlink's.
        self.assertEqual((c["downs"] - base["downs"], c["ups"] - base["ups"], c["dropped"]), (50, 50, 0))
        # Shorter than QEMU's poll: seen whole or not at all, never stuck.
        for _ in range(20):
            VM.cts(True)
            VM.cts(False)
            time.sleep(0.05)
        # Then a whole press: once its release is through, so is all before.
        self.press()
        self.release()
        c = VM.counts()
        self.assertEqual(c["downs"], c["ups"])

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

    def test_5_usb_adapter_pulled_out_while_pressed_and_back(self):
        # With the UART held by another program, tastlink takes the adapter.
        VM.ask("hold ttyS0")
        self.addCleanup(VM.ask, "free ttyS0")
        self.start(USB)
        self.press(USB)
        VM.qmp.run("device_del", id="adapter")
        VM.qmp.event("DEVICE_DELETED")
        until(lambda: VM.ask("dev ttyUSB0") == "dev ttyUSB0=0", "the guest to let ttyUSB0 go")
        until(lambda: VM.counts()["last"] == 0, "Shift up as the adapter went")
        until(lambda: "Adapter getrennt" in VM.ask("report"), "the report of the unplug")
        self.assertEqual(VM.ask("alive"), "alive")
        # Back with the button up; DTR and RTS, cleared here, must come
        # back with the reopened line.
        VM.cts(False, USB)
        VM.clear_outputs(USB)
        VM.qmp.run("device_add", **ADAPTER)
        until(lambda: "Adapter wieder da" in VM.ask("report"), "the report of the return")
        self.await_line(USB)
        self.press(USB)
        self.release(USB)
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")

    def test_7_adapter_back_while_its_line_is_asserted(self):
        # A button held through the replug, and a normally closed switch,
        # whose line is asserted at rest so that every replug is this case:
        # once the adapter is back, the line's next changes must reach the
        # desktop.
        VM.ask("hold ttyS0")
        self.addCleanup(VM.ask, "free ttyS0")
        for args in ("", "--invert"):
            key = lambda level: int(level != bool(args))
            self.start(USB, args)
            self.set_usb(True, key(True) if not args else 0)  # pressed; at rest
            VM.qmp.run("device_del", id="adapter")
            VM.qmp.event("DEVICE_DELETED")
            until(lambda: VM.ask("dev ttyUSB0") == "dev ttyUSB0=0", "the guest to let ttyUSB0 go")
            until(lambda: VM.key() == "key=0", "Shift up as the adapter went")
            VM.clear_outputs(USB)
            VM.qmp.run("device_add", **ADAPTER)
            until(lambda: "Adapter wieder da" in VM.ask("report"), "the report of the return")
            self.await_line(USB)
            # QEMU's FTDI sends the modem status only in front of data, where
            # a real chip sends it every 16 ms: until a first status after
            # the return, ftdi_sio takes every line for open and would not
            # count the release. A byte makes QEMU send one, as the chip
            # does by itself (the new device's first count).
            until(lambda: VM.nudge() or VM.edges("ttyUSB0") > 0, "the adapter's first status", pause=0.5)
            for level in (False, True, False):  # ends open, as the next start sets it
                self.set_usb(level, key(level))
            self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")

    def set_usb(self, level, key):
        """Sets the adapter's CTS; once the guest has counted the edge, the
        key must follow."""
        before = VM.edges("ttyUSB0")
        VM.cts(level, USB)
        until(lambda: VM.nudge() or VM.edges("ttyUSB0") != before, "the guest to count CTS=%d" % level, pause=0.5)
        until(lambda: VM.key() == "key=%d" % key, "key=%d for CTS=%d" % (key, level))

    def test_6_a_switch_on_ri_comes_whole_at_its_release(self):
        # The 8250 counts only RI's trailing edge and raises no interrupt
        # for its leading one; the modem-status wait wakes on counts alone.
        self.start(args="--line RI")
        base = VM.counts()
        for _ in range(3):
            VM.inputs(TIOCM_RI)
            # Held until QEMU has read the line twice: it polls only when
            # it gets to, and a ring it never saw never happened.
            polls = VM.polls()
            until(lambda: VM.polls() - polls >= 2, "QEMU to read the ring")
            VM.inputs(0)
            until(lambda: VM.counts()["ups"] > base["ups"], "the ring's release")
            base = VM.counts()
            self.assertEqual((base["downs"], base["ups"], base["last"]), (base["ups"], base["ups"], 0))
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")

    def test_7_a_combination_and_a_mouse_button_from_the_virtual_device(self):
        self.start(args="--key Ctrl+Shift+F5")
        self.assertEqual(VM.ask("caps"), "caps keyboard=1 pointer=0", "no mouse unless a switch is one")
        self.press()  # Shift is part of it
        self.release()
        until(lambda: VM.ask("log") == "log 29:1 42:1 63:1 63:0 42:0 29:0", "down in order, up in reverse",
              seen=lambda: "; ".join(VM.ask(q) for q in ("log", "counts", "key", "alive", "report")))
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")
        self.start(args="--key MouseLeft")
        self.assertEqual(VM.ask("caps"), "caps keyboard=1 pointer=1")
        for down, log in ((True, "log 272:1"), (False, "log 272:1 272:0"), (True, "log 272:1 272:0 272:1")):
            VM.cts(down)
            until(lambda: VM.ask("log") == log, log, seen=lambda: VM.ask("log"))
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")
        self.assertEqual(VM.ask("log"), "log 272:1 272:0 272:1 272:0", "let up on the way out")
        # Made a mouse button while it runs: the device must become a pointer.
        self.start()
        VM.ask("conf [switch1]|key=MouseLeft")
        self.addCleanup(VM.ask, "conf")
        self.assertEqual(VM.ask("again"), "again")
        self.assertEqual(VM.ask("caps"), "caps keyboard=1 pointer=1")
        VM.cts(True)
        until(lambda: VM.ask("log").endswith(" 272:1"), "the button down", seen=lambda: VM.ask("log"))
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")
        self.assertTrue(VM.ask("log").endswith(" 272:1 272:0"), VM.ask("log"))

    def test_8_an_adapter_gone_at_once_is_said_to_be_brlttys(self):
        # Plugged in and pulled out as soon as its tty is there, as brltty
        # takes it; a brltty rule in the guest claims its IDs. A busy host
        # may take more than the second for it: then once more.
        self.start()
        VM.qmp.run("device_del", id="adapter")
        VM.qmp.event("DEVICE_DELETED")
        for _ in range(5):
            VM.qmp.run("device_add", **ADAPTER)
            until(lambda: VM.ask("dev ttyUSB0") == "dev ttyUSB0=1", "the adapter's tty", pause=0)
            VM.qmp.run("device_del", id="adapter")
            VM.qmp.event("DEVICE_DELETED")
            until(lambda: VM.ask("dev ttyUSB0") == "dev ttyUSB0=0", "the guest to let ttyUSB0 go")
            if "brltty" in VM.ask("report"):
                break
        until(lambda: "Ein USB-Seriell-Adapter (0403:6001) verschwand gleich nach dem Einstecken" in VM.ask("report"),
              "the note on brltty", seen=lambda: VM.ask("report"))
        VM.qmp.run("device_add", **ADAPTER)
        self.assertEqual(VM.ask("signal %d" % signal.SIGTERM), "ended signaled=0 exit=0")

if __name__ == "__main__":
    if not (QEMU and KERNELS and os.path.exists("/bin/busybox")):
        print("skipped: needs qemu-system-x86_64, a Debian kernel in /boot and busybox")
        sys.exit(77)
    unittest.main()
