#include "serial/win32/comm_line.h"

#include "serial/win32/win_error.h"
#include "window/runtime.h"

namespace tl::win {

namespace {

constexpr DWORD kEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR;

class Win32Line : public OpenLine {
 public:
  Win32Line(HANDLE h, int port, LineNotify notify, WaitSet& waits)
      : h_(h), port_(port), notify_(std::move(notify)), waits_(waits) {
    ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    waitId_ = waits_.add(ov_.hEvent, [this] { completed(); });
    if (SetCommMask(h_, kEvents)) arm();
  }
  ~Win32Line() override {
    waits_.remove(waitId_);
    if (pending_) {
      // A new mask completes the pending wait at once; then it is safe to
      // let the OVERLAPPED go.
      SetCommMask(h_, 0);
      DWORD n = 0;
      if (!GetOverlappedResult(h_, &ov_, &n, TRUE)) CancelIo(h_);
    }
    CloseHandle(h_);
    CloseHandle(ov_.hEvent);
  }
  bool cts() override {
    DWORD status = 0;
    return GetCommModemStatus(h_, &status) && (status & MS_CTS_ON);
  }

 private:
  void arm() {
    ResetEvent(ov_.hEvent);
    mask_ = 0;
    if (WaitCommEvent(h_, &mask_, &ov_)) {
      pending_ = true;  // done already; the loop sees the event and reports it
      SetEvent(ov_.hEvent);
      return;
    }
    const DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) {
      pending_ = true;
    } else if (e != ERROR_NOT_SUPPORTED && e != ERROR_INVALID_PARAMETER) {
      fail("WaitCommEvent", e);
    }
    // A port that cannot report line events (a pseudo-terminal under wine)
    // stays open and quiet.
  }
  void completed() {
    DWORD n = 0;
    pending_ = false;
    if (!GetOverlappedResult(h_, &ov_, &n, FALSE)) {
      const DWORD e = GetLastError();
      if (e == ERROR_IO_INCOMPLETE) {
        pending_ = true;
        return;
      }
      ResetEvent(ov_.hEvent);
      return fail("WaitCommEvent", e);
    }
    // Events coalesce and FTDI drivers report stale status outside a
    // completion: read CTS now, once per completion.
    LineEvent ev;
    ev.cts = cts();
    arm();
    notify_(ev);
  }
  void fail(const char* call, DWORD e) {
    ResetEvent(ov_.hEvent);
    waits_.remove(waitId_);
    LineEvent ev;
    ev.kind = LineEvent::Kind::Failure;
    ev.number = err::kLineFailed;
    ev.description = "Die Verbindung zu COM" + std::to_string(port_) + " ist abgerissen: " + osReason(e) + " (" +
                     call + ": Fehler " + std::to_string(e) + "). Wurde der USB-Seriell-Adapter abgezogen?";
    notify_(ev);
  }

  HANDLE h_;
  int port_;
  LineNotify notify_;
  WaitSet& waits_;
  OVERLAPPED ov_{};
  DWORD mask_ = 0;
  bool pending_ = false;
  int waitId_ = 0;
};

}  // namespace

std::wstring devicePath(int port) { return L"\\\\.\\COM" + std::to_wstring(port); }

DWORD applyLineSettings(HANDLE h, bool dtr, bool rts) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return GetLastError();
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
  if (!SetCommState(h, &dcb) && GetLastError() != ERROR_NOT_SUPPORTED) return GetLastError();
  SetupComm(h, 1024, 512);
  // Some drivers apply the DCB's line states only on the next change; say
  // it once more.
  if (dtr) EscapeCommFunction(h, SETDTR);
  if (rts) EscapeCommFunction(h, SETRTS);
  return ERROR_SUCCESS;
}

std::unique_ptr<OpenLine> Win32LineDriver::open(int16_t port, bool dtr, bool rts, LineNotify notify) {
  HANDLE h = CreateFileW(devicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    throw Error(openErrorNumber(e), openFailure(port, "CreateFile", e));
  }
  if (const DWORD e = applyLineSettings(h, dtr, rts)) {
    CloseHandle(h);
    throw Error(err::kIoError, openFailure(port, "SetCommState", e));
  }
  return std::make_unique<Win32Line>(h, port, std::move(notify), waits_);
}

}  // namespace tl::win
