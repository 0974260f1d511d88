#include "serial/win32/comm_line.h"

#include <thread>

#include "core/reports.h"
#include "core/runtime.h"

namespace tl::serial_win32 {

namespace {

constexpr DWORD kEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR;
// Long enough for the driver to have taken its snapshot of a new wait, short
// enough that a missed edge costs no more than a slow key press.
constexpr DWORD kSettleMs = 20;

bool readCts(HANDLE h) {
  DWORD status = 0;
  return GetCommModemStatus(h, &status) && (status & MS_CTS_ON);
}

class Win32Line : public OpenLine {
 public:
  Win32Line(HANDLE h, int port, LineNotify notify)
      : h_(h), port_(port), notify_(std::move(notify)), follower_(readCts(h)) {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] { run(); });
  }
  ~Win32Line() override {
    SetEvent(stop_);
    thread_.join();
    CloseHandle(h_);
    CloseHandle(ov_.hEvent);
    CloseHandle(stop_);
  }
  bool cts() override { return readCts(h_); }

 private:
  void run() {
    bool pending = SetCommMask(h_, kEvents) && arm();
    // Settle once after opening too: an edge between the first read and
    // the first wait is otherwise missed.
    ULONGLONG settleAt = GetTickCount64() + kSettleMs;
    while (!failed_) {
      HANDLE handles[] = {stop_, ov_.hEvent};
      DWORD timeout = INFINITE;
      if (settleAt) {
        const ULONGLONG now = GetTickCount64();
        timeout = settleAt > now ? static_cast<DWORD>(settleAt - now) : 0;
      }
      const DWORD r = WaitForMultipleObjects(pending ? 2 : 1, handles, FALSE, timeout);
      if (r == WAIT_OBJECT_0) break;
      if (r == WAIT_TIMEOUT) {
        settleAt = report(follower_.settled(readCts(h_))) ? GetTickCount64() + kSettleMs : 0;
        continue;
      }
      DWORD n = 0;
      if (!GetOverlappedResult(h_, &ov_, &n, FALSE)) {
        pending = false;
        fail("WaitCommEvent", GetLastError());
        break;
      }
      // Decide before re-arming, which starts the next wait's account.
      const auto states = follower_.completed(mask_, readCts(h_));
      pending = arm();
      report(states);
      if (!settleAt) settleAt = GetTickCount64() + kSettleMs;
    }
    if (pending) {
      // A new mask completes the pending wait; the thread that issued it
      // cancels it too, for drivers that do not. Only then may the
      // OVERLAPPED go.
      SetCommMask(h_, 0);
      CancelIo(h_);
      DWORD n = 0;
      GetOverlappedResult(h_, &ov_, &n, TRUE);
    }
    // After a failure the window ends the program; wait for it quietly.
    WaitForSingleObject(stop_, INFINITE);
  }

  // Starts the next wait; false if there is none to wait for.
  bool arm() {
    ResetEvent(ov_.hEvent);
    mask_ = 0;
    if (WaitCommEvent(h_, &mask_, &ov_)) {
      follower_.armed(true);
      SetEvent(ov_.hEvent);
      return true;
    }
    const DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) {
      follower_.armed(false);
      return true;
    }
    // A port that cannot report line events (a pseudo-terminal under wine)
    // stays open and quiet.
    if (e != ERROR_NOT_SUPPORTED && e != ERROR_INVALID_PARAMETER) fail("WaitCommEvent", e);
    return false;
  }

  bool report(const std::vector<bool>& states) {
    for (bool s : states) {
      LineEvent ev;
      ev.cts = s;
      notify_(ev);
    }
    return !states.empty();
  }

  void fail(const char* call, DWORD e) {
    failed_ = true;
    LineEvent ev;
    ev.kind = LineEvent::Kind::Failure;
    ev.number = err::kLineFailed;
    ev.description =
        reports::lineLost("COM" + std::to_string(port_), osReason(e), callDetail({call, e}), true);
    notify_(ev);
  }

  HANDLE h_;
  int port_;
  LineNotify notify_;
  CtsFollower follower_;
  HANDLE stop_ = nullptr;
  OVERLAPPED ov_{};
  DWORD mask_ = 0;
  bool failed_ = false;
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

std::unique_ptr<OpenLine> Win32LineDriver::open(int16_t port, bool dtr, bool rts, LineNotify notify) {
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
