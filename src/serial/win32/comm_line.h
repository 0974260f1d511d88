// The serial line over the Win32 communications API: \\.\COMn opened for
// overlapped I/O, 9600 8N1, DTR/RTS enabled, and an overlapped WaitCommEvent
// that the window thread's own message loop waits on.
#pragma once

#include <windows.h>

#include <string>

#include "serial/mscomm.h"
#include "window/win32/message_loop.h"

namespace tl::win {

// Every COM name goes through the \\.\ device namespace: plain "COM10" and
// above do not open.
std::wstring devicePath(int port);

// Applies 9600 8N1 with DTR/RTS as asked. Wine on a pseudo-terminal refuses
// the modem-line part with ERROR_NOT_SUPPORTED; that is not an error here.
DWORD applyLineSettings(HANDLE h, bool dtr, bool rts);

class Win32LineDriver : public LineDriver {
 public:
  explicit Win32LineDriver(WaitSet& waits) : waits_(waits) {}
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, LineNotify notify) override;

 private:
  WaitSet& waits_;
};

}  // namespace tl::win
