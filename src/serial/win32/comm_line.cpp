#include "serial/win32/comm_line.h"

#include <memory>
#include <thread>

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
    CloseHandle(done);
  }
  HANDLE h;
  int number;
  uint8_t watch;
  LineNotify notify;
  LineFollower follower;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  DWORD mask = 0;
  bool failed = false;
};

class Win32Line : public OpenLine {
 public:
  Win32Line(HANDLE h, int port, uint8_t watch, LineNotify notify)
      : s_(std::make_shared<LineState>(h, port, watch, std::move(notify))) {
    thread_ = std::thread([s = s_] {
      run(*s);
      SetEvent(s->done);
    });
  }
  ~Win32Line() override {
    SetEvent(s_->stop);
    if (WaitForSingleObject(s_->done, kCloseWaitMs) == WAIT_OBJECT_0)
      thread_.join();
    else
      thread_.detach();
  }
  uint8_t levels() override { return readLevels(s_->h); }

 private:
  static void run(LineState& s) {
    bool pending = SetCommMask(s.h, commMask(s.watch)) && arm(s);
    // Settle once after opening too: an edge between the first read and
    // the first wait is otherwise missed.
    ULONGLONG lookAt = GetTickCount64() + kSettleMs;
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
        lookAt = report(s, s.follower.settled(levels)) ? now + kSettleMs
                 : s.follower.pollsRing()              ? now + kRingPollMs
                                                       : 0;
        continue;
      }
      DWORD n = 0;
      if (!GetOverlappedResult(s.h, &s.ov, &n, FALSE)) {
        pending = false;
        fail(s, "WaitCommEvent", GetLastError());
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
      const ULONGLONG settleAt = GetTickCount64() + kSettleMs;
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
    // A port that cannot report line events (a pseudo-terminal under wine
    // without modem lines) stays open and quiet.
    if (e != ERROR_NOT_SUPPORTED && e != ERROR_INVALID_PARAMETER) fail(s, "WaitCommEvent", e);
    return false;
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
  std::thread thread_;
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
    throw Error(openErrorNumber(f.code), openFailure(port, f));
  }
  if (const CallFailure f = applyLineSettings(h, dtr, rts)) {
    CloseHandle(h);
    throw Error(err::kIoError, openFailure(port, f));
  }
  return std::make_unique<Win32Line>(h, port, watch, std::move(notify));
}

}  // namespace tl::serial_win32
