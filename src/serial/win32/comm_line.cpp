#include "serial/win32/comm_line.h"

#include <memory>
#include <thread>

#include "core/reports.h"
#include "core/runtime.h"

namespace tl::serial_win32 {

namespace {

constexpr DWORD kEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR;
// Long enough for the driver to have taken its snapshot of a new wait, short
// enough that a missed edge costs no more than a slow key press.
constexpr DWORD kSettleMs = 20;

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

// CTS as the line has it; false (the error left for GetLastError) when the
// read failed because the device has gone. A port without modem lines (a
// pseudo-terminal under wine) reads as CTS off.
bool readCts(HANDLE h, bool& cts) {
  DWORD status = 0;
  const bool read = GetCommModemStatus(h, &status);
  cts = read && (status & MS_CTS_ON);
  return read || !meansUnplugged(GetLastError());
}

bool readCts(HANDLE h) {
  bool cts = false;
  return readCts(h, cts) && cts;
}

// How long closing a line waits for its thread. Some adapters' drivers never
// finish a wait once their device is gone, not even when it is cancelled:
// the thread is then left to finish on its own rather than hang the window.
constexpr DWORD kCloseWaitMs = 2000;

// Everything the line's thread works with. The thread holds it too, so that
// a thread left behind (see above) never touches freed memory; a wait the
// driver never finishes keeps it, and its handles, for good.
struct LineState {
  LineState(HANDLE port, int com, LineNotify n) : h(port), number(com), notify(std::move(n)), follower(readCts(port)) {
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
  LineNotify notify;
  CtsFollower follower;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  DWORD mask = 0;
  bool failed = false;
};

class Win32Line : public OpenLine {
 public:
  Win32Line(HANDLE h, int port, LineNotify notify) : s_(std::make_shared<LineState>(h, port, std::move(notify))) {
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
  uint8_t levels() override { return readCts(s_->h) ? lines::CTS : 0; }

 private:
  static void run(LineState& s) {
    bool pending = SetCommMask(s.h, kEvents) && arm(s);
    // Settle once after opening too: an edge between the first read and
    // the first wait is otherwise missed.
    ULONGLONG settleAt = GetTickCount64() + kSettleMs;
    while (!s.failed) {
      HANDLE handles[] = {s.stop, s.ov.hEvent};
      DWORD timeout = INFINITE;
      if (settleAt) {
        const ULONGLONG now = GetTickCount64();
        timeout = settleAt > now ? static_cast<DWORD>(settleAt - now) : 0;
      }
      const DWORD r = WaitForMultipleObjects(pending ? 2 : 1, handles, FALSE, timeout);
      if (r == WAIT_OBJECT_0) break;
      bool cts = false;
      if (r == WAIT_TIMEOUT) {
        if (!readCts(s.h, cts)) {
          fail(s, "GetCommModemStatus", GetLastError());
          break;
        }
        settleAt = report(s, s.follower.settled(cts)) ? GetTickCount64() + kSettleMs : 0;
        continue;
      }
      DWORD n = 0;
      if (!GetOverlappedResult(s.h, &s.ov, &n, FALSE)) {
        pending = false;
        fail(s, "WaitCommEvent", GetLastError());
        break;
      }
      if (!readCts(s.h, cts)) {
        pending = false;
        fail(s, "GetCommModemStatus", GetLastError());
        break;
      }
      // Decide before re-arming, which starts the next wait's account.
      const auto states = s.follower.completed(s.mask, cts);
      pending = arm(s);
      report(s, states);
      if (!settleAt) settleAt = GetTickCount64() + kSettleMs;
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

  static bool report(LineState& s, const std::vector<bool>& states) {
    for (bool c : states) {
      LineEvent ev;
      ev.levels = c ? lines::CTS : 0;
      tell(s, ev);
    }
    return !states.empty();
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

std::vector<bool> CtsFollower::completed(DWORD mask, bool cts) {
  if (cts != last_) {
    last_ = cts;
    return {cts};
  }
  if (mask & EV_CTS) {
    if (ambiguous_) return {};
    return {!cts, cts};
  }
  // Another line's event: the handler re-sends the key for CTS as it is.
  return mask ? std::vector<bool>{cts} : std::vector<bool>{};
}

std::vector<bool> CtsFollower::settled(bool cts) {
  if (cts == last_) return {};
  last_ = cts;
  // The wait now pending may have seen this edge too.
  ambiguous_ = true;
  return {cts};
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

std::unique_ptr<OpenLine> Win32LineDriver::open(int16_t port, bool dtr, bool rts, uint8_t, LineNotify notify) {
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
  return std::make_unique<Win32Line>(h, port, std::move(notify));
}

}  // namespace tl::serial_win32
