// The serial line over the Win32 communications API: \\.\COMn opened for
// overlapped I/O, 9600 8N1, DTR/RTS enabled, and a thread of the line's own
// that waits for modem-line events and posts them to the window's thread,
// so that a press gets through while the window sits in a modal loop
// (moved, sized, its system menu open).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "serial/mscomm.h"
#include "serial/win32/win_error.h"

namespace tl::serial_win32 {

// Every COM name goes through the \\.\ device namespace: plain "COM10" and
// above do not open.
std::wstring devicePath(int port);

// Applies 9600 8N1 with DTR/RTS as asked; on failure, names the call. Wine
// on a pseudo-terminal refuses the modem-line part with
// ERROR_NOT_SUPPORTED; that is not an error here.
CallFailure applyLineSettings(HANDLE h, bool dtr, bool rts);

// What the line thread makes of what it sees, apart from the waiting: the
// CTS states to report, in order. Wine (like Linux) has no event history:
// an edge between reading CTS and arming the next wait is not reported by
// that wait, so the thread reads the line once more a short time after
// each change ("settle").
class CtsFollower {
 public:
  explicit CtsFollower(bool cts) : last_(cts) {}
  // The wait was armed again; `atOnce` if it completed as it was armed.
  void armed(bool atOnce) { ambiguous_ = atOnce; }
  // A wait completed with `mask`; `cts` was read right after.
  std::vector<bool> completed(DWORD mask, bool cts);
  // The settle re-read found `cts`.
  std::vector<bool> settled(bool cts);

 private:
  bool last_;
  // An EV_CTS that finds CTS where it was last reported means two edges,
  // unless this wait may be reporting an edge already reported: one that
  // the settle re-read found, or one a driver with an event history kept
  // from before the wait was armed. Then it says nothing: a lost blip is
  // better than a phantom press.
  bool ambiguous_ = false;
};

class Win32LineDriver : public LineDriver {
 public:
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) override;
};

}  // namespace tl::serial_win32
