#include "serial/win32/comm_line.h"

#include <memory>

#include "core/reports.h"
#include "core/runtime.h"

namespace tl::serial_win32 {

namespace {

// Long enough for the driver to have taken its snapshot of a new wait, short
// enough that a missed edge costs no more than a slow key press.
constexpr DWORD kSettleMs = 20;
// How often RI is looked at while its driver may not report it coming on:
// a press shows within this, and no key waits for the switch's release.
constexpr DWORD kRingPollMs = 25;

// How the drivers of USB and Bluetooth serial ports answer once their device
// has gone: the handle stays, every call on it fails, and a pending wait is
// cancelled (wine: the tty's modem ioctls fail with EIO, which it reports as
// "not ready"). The program then waits for the device instead of ending.
bool meansUnplugged(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:  // a device being deleted
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case kNoSuchDevice:
      return true;
    default:
      return false;
  }
}

// The input lines as the port has them; false (the error left for
// GetLastError) when the read failed because the device has gone. A port
// without modem lines (a pseudo-terminal under wine) reads as all off.
bool readLevels(HANDLE h, uint8_t& levels) {
  DWORD status = 0;
  const bool read = GetCommModemStatus(h, &status);
  levels = read ? levelsOf(status) : 0;
  return read || !meansUnplugged(GetLastError());
}

uint8_t readLevels(HANDLE h) {
  uint8_t levels = 0;
  return readLevels(h, levels) ? levels : 0;
}

// How long closing a line waits for its thread. Some adapters' drivers never
// finish a wait once their device is gone, not even when it is cancelled:
// the thread is then left to finish on its own rather than hang the window.
constexpr DWORD kCloseWaitMs = 2000;
// How often the lines are sampled where the driver cannot wait for their
// events, as on Linux: short enough that no press is missed.
constexpr DWORD kPollMs = 5;

// Lines left behind per port, still holding their handle: a port that will
// not open then has a reason the user can be told.
LONG g_leftBehind[256];

LONG& leftBehind(int port) { return g_leftBehind[static_cast<unsigned>(port) % 256]; }

// Everything the line's thread works with. The thread holds it too, so that
// a thread left behind (see above) never touches freed memory; a wait the
// driver never finishes keeps it, and its handles, for good.
struct LineState {
  LineState(HANDLE port, int com, uint8_t lines, LineNotify n)
      : h(port), number(com), watch(lines), notify(std::move(n)), follower(lines, readLevels(port)) {
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~LineState() {
    CloseHandle(h);
    CloseHandle(ov.hEvent);
    CloseHandle(stop);
    if (abandoned) InterlockedDecrement(&leftBehind(number));
  }
  HANDLE h;
  int number;
  uint8_t watch;
  LineNotify notify;
  LineFollower follower;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  DWORD mask = 0;
  bool failed = false;
  // The driver cannot wait for line events: the lines are sampled.
  bool polling = false;
  // Set by the window's thread before it lets go of its reference.
  bool abandoned = false;
};

class Win32Line : public OpenLine {
 public:
  Win32Line(HANDLE h, int port, uint8_t watch, LineNotify notify)
      : s_(std::make_shared<LineState>(h, port, watch, std::move(notify))) {
    // A plain Win32 thread that owns its reference until it ends: nothing
    // of the C++ runtime's threading, whose detached threads have crashed.
    auto* ref = new std::shared_ptr<LineState>(s_);
    thread_ = CreateThread(nullptr, 64 * 1024, threadMain, ref, 0, nullptr);
    if (!thread_) {
      const CallFailure f{"CreateThread", GetLastError()};
      delete ref;
      throw Error(err::kIoError, openFailure(port, f));
    }
  }
  ~Win32Line() override {
    SetEvent(s_->stop);
    if (WaitForSingleObject(thread_, kCloseWaitMs) != WAIT_OBJECT_0) {
      s_->abandoned = true;
      InterlockedIncrement(&leftBehind(s_->number));
    }
    CloseHandle(thread_);
  }
  uint8_t levels() override { return readLevels(s_->h); }

 private:
  static DWORD WINAPI threadMain(void* context) {
    std::unique_ptr<std::shared_ptr<LineState>> ref(static_cast<std::shared_ptr<LineState>*>(context));
    run(**ref);
    return 0;
  }

  static void run(LineState& s) {
    bool pending = false;
    if (SetCommMask(s.h, commMask(s.watch)))
      pending = arm(s);
    else
      startPolling(s, {"SetCommMask", GetLastError()});
    // Settle once after opening too: an edge between the first read and
    // the first wait is otherwise missed.
    ULONGLONG lookAt = GetTickCount64() + (s.polling ? kPollMs : kSettleMs);
    while (!s.failed) {
      HANDLE handles[] = {s.stop, s.ov.hEvent};
      DWORD timeout = INFINITE;
      if (lookAt) {
        const ULONGLONG now = GetTickCount64();
        timeout = lookAt > now ? static_cast<DWORD>(lookAt - now) : 0;
      }
      const DWORD r = WaitForMultipleObjects(pending ? 2 : 1, handles, FALSE, timeout);
      if (r == WAIT_OBJECT_0) break;
      uint8_t levels = 0;
      if (r == WAIT_TIMEOUT) {
        if (!readLevels(s.h, levels)) {
          fail(s, "GetCommModemStatus", GetLastError());
          break;
        }
        const ULONGLONG now = GetTickCount64();
        const bool changed = report(s, s.follower.settled(levels));
        lookAt = s.polling                   ? now + kPollMs
                 : changed                   ? now + kSettleMs
                 : s.follower.pollsRing()    ? now + kRingPollMs
                                             : 0;
        continue;
      }
      // The event has fired, so the wait has ended or is just ending: its
      // result is waited for rather than asked for once, which a driver
      // may answer "not yet" (seen under a flood of changes).
      DWORD n = 0;
      if (!GetOverlappedResult(s.h, &s.ov, &n, TRUE)) {
        pending = false;
        const DWORD e = GetLastError();
        fail(s, e == ERROR_IO_INCOMPLETE ? "GetOverlappedResult" : "WaitCommEvent", e);
        break;
      }
      if (!readLevels(s.h, levels)) {
        pending = false;
        fail(s, "GetCommModemStatus", GetLastError());
        break;
      }
      // Decide before re-arming, which starts the next wait's account.
      const auto changes = s.follower.completed(s.mask, levels);
      pending = arm(s);
      report(s, changes);
      const ULONGLONG settleAt = GetTickCount64() + (s.polling ? kPollMs : kSettleMs);
      if (!lookAt || settleAt < lookAt) lookAt = settleAt;
    }
    if (pending) {
      // A new mask completes the pending wait; the thread that issued it
      // cancels it too, for drivers that do not. Only then may the
      // OVERLAPPED go.
      SetCommMask(s.h, 0);
      CancelIo(s.h);
      DWORD n = 0;
      GetOverlappedResult(s.h, &s.ov, &n, TRUE);
    }
    // After a failure the window ends the program or waits for the device;
    // either way it closes the line: wait for that quietly.
    WaitForSingleObject(s.stop, INFINITE);
  }

  // Starts the next wait; false if there is none to wait for.
  static bool arm(LineState& s) {
    ResetEvent(s.ov.hEvent);
    s.mask = 0;
    if (WaitCommEvent(s.h, &s.mask, &s.ov)) {
      s.follower.armed(true);
      SetEvent(s.ov.hEvent);
      return true;
    }
    const DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) {
      s.follower.armed(false);
      return true;
    }
    if (e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_PARAMETER)
      startPolling(s, {"WaitCommEvent", e});
    else
      fail(s, "WaitCommEvent", e);
    return false;
  }

  // A driver that cannot wait for line events (some virtual ports, wine's
  // on a pseudo-terminal) is sampled instead; said once, for whoever reads
  // the log.
  static void startPolling(LineState& s, const CallFailure& why) {
    if (s.polling) return;
    s.polling = true;
    logLine("COM" + std::to_string(s.number) + ": der Treiber meldet keine Leitungsänderungen (" + callDetail(why) +
            "); Tastlink fragt die Leitungen alle " + std::to_string(kPollMs) + " ms ab.");
  }

  static bool report(LineState& s, const std::vector<LineChange>& changes) {
    for (const LineChange& c : changes) {
      LineEvent ev;
      ev.line = c.line;
      ev.levels = c.levels;
      tell(s, ev);
    }
    return !changes.empty();
  }

  // Nothing is told once the line is being closed: a thread left behind may
  // come back from a driver's call after the window has gone.
  static void tell(LineState& s, const LineEvent& ev) {
    if (WaitForSingleObject(s.stop, 0) == WAIT_TIMEOUT) s.notify(ev);
  }

  static void fail(LineState& s, const char* call, DWORD e) {
    s.failed = true;
    LineEvent ev;
    if (meansUnplugged(e)) {
      ev.kind = LineEvent::Kind::Unplugged;
    } else {
      ev.kind = LineEvent::Kind::Failure;
      ev.number = err::kLineFailed;
      ev.description =
          reports::lineLost("COM" + std::to_string(s.number), osReason(e), callDetail({call, e}), true);
    }
    tell(s, ev);
  }

  std::shared_ptr<LineState> s_;
  HANDLE thread_ = nullptr;
};

}  // namespace

DWORD commMask(uint8_t watch) {
  DWORD mask = EV_ERR;
  for (const LineBits& b : kLineBits)
    if (watch & b.line) mask |= b.event;
  return mask;
}

uint8_t levelsOf(DWORD modemStatus) {
  uint8_t levels = 0;
  for (const LineBits& b : kLineBits)
    if (modemStatus & b.status) levels |= b.line;
  return levels;
}

std::vector<LineChange> LineFollower::completed(DWORD mask, uint8_t levels) {
  // RI found on after an EV_RING that a look without an event had not
  // already reported: this driver tells RI's rising edge.
  if ((mask & EV_RING) && (levels & ~last_ & lines::RI)) ringRises_ = true;
  std::vector<LineChange> out;
  for (const LineBits& b : kLineBits) {
    if (!(watch_ & b.line)) continue;
    if ((levels ^ last_) & b.line) {
      last_ ^= b.line;
      out.push_back({b.line, reported(levels)});
    } else if ((mask & b.event) && !(ambiguous_ & b.line)) {
      // The line moved and came back before it was read: a whole press
      // (or release) it did not see.
      out.push_back({b.line, static_cast<uint8_t>(reported(levels) ^ b.line)});
      out.push_back({b.line, reported(levels)});
    }
  }
  return out;
}

std::vector<LineChange> LineFollower::settled(uint8_t levels) {
  std::vector<LineChange> out;
  for (const LineBits& b : kLineBits) {
    if (!(watch_ & b.line) || !((levels ^ last_) & b.line)) continue;
    last_ ^= b.line;
    // The wait now pending may have seen this edge too.
    ambiguous_ |= b.line;
    out.push_back({b.line, reported(levels)});
  }
  return out;
}

std::wstring devicePath(int port) { return L"\\\\.\\COM" + std::to_wstring(port); }

CallFailure applyLineSettings(HANDLE h, bool dtr, bool rts) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return {"GetCommState", GetLastError()};
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  if (!SetCommState(h, &dcb) && GetLastError() != ERROR_NOT_SUPPORTED) return {"SetCommState", GetLastError()};
  SetupComm(h, 1024, 512);
  // Some drivers apply the DCB's line states only on the next change; say
  // it once more.
  if (dtr) EscapeCommFunction(h, SETDTR);
  if (rts) EscapeCommFunction(h, SETRTS);
  return {};
}

std::unique_ptr<OpenLine> Win32LineDriver::open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) {
  HANDLE h = CreateFileW(devicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const CallFailure f{"CreateFile", GetLastError()};
    // Our own line, closed but stuck in its driver, may still hold it.
    if (f.code == ERROR_ACCESS_DENIED && leftBehind(port) > 0)
      throw Error(err::kPathAccess, reports::cannotOpen("COM" + std::to_string(port),
                                                        "Tastlink gibt ihn gerade frei, der Treiber hängt noch; "
                                                        "bitte den Adapter kurz abziehen oder später noch einmal wählen",
                                                        callDetail(f)));
    throw Error(openErrorNumber(f.code), openFailure(port, f));
  }
  if (const CallFailure f = applyLineSettings(h, dtr, rts)) {
    CloseHandle(h);
    throw Error(err::kIoError, openFailure(port, f));
  }
  return std::make_unique<Win32Line>(h, port, watch, std::move(notify));
}

}  // namespace tl::serial_win32
