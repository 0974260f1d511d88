// The serial line over the Win32 communications API: \\.\COMn opened for
// overlapped I/O, 9600 8N1, DTR/RTS enabled, and a thread of the line's own
// that waits for modem-line events and posts them to the window's thread,
// so that a press gets through while the window sits in a modal loop
// (moved, sized, its system menu open).
#pragma once

#include <windows.h>

#include <cstdint>
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

// The Win32 event and modem-status bit of each input line, in the order a
// completion's changes are reported.
struct LineBits {
  uint8_t line;
  DWORD event;
  DWORD status;
};
constexpr LineBits kLineBits[] = {{lines::CTS, EV_CTS, MS_CTS_ON},
                                  {lines::DSR, EV_DSR, MS_DSR_ON},
                                  {lines::DCD, EV_RLSD, MS_RLSD_ON},
                                  {lines::RI, EV_RING, MS_RING_ON}};

// The events to ask for when `watch` lines are followed.
DWORD commMask(uint8_t watch);
// GetCommModemStatus's answer as lines:: bits.
uint8_t levelsOf(DWORD modemStatus);

// One change to report: the line it is about and every line's level after it.
struct LineChange {
  uint8_t line;
  uint8_t levels;
  bool operator==(const LineChange&) const = default;
};

// What the line thread makes of what it sees, apart from the waiting: the
// changes of the watched lines to report, in order. Wine (like Linux) has
// no event history: an edge between reading the lines and arming the next
// wait is not reported by that wait, so the thread reads the lines once
// more a short time after each change ("settle"). Each line follows the
// same rules on its own.
class LineFollower {
 public:
  LineFollower(uint8_t watch, uint8_t levels) : watch_(watch), last_(levels) {}
  // The wait was armed again; `atOnce` if it completed as it was armed.
  void armed(bool atOnce) { ambiguous_ = atOnce ? watch_ : 0; }
  // A wait completed with `mask`; `levels` were read right after.
  std::vector<LineChange> completed(DWORD mask, uint8_t levels);
  // A look without an event (the settle re-read, a poll) found `levels`.
  std::vector<LineChange> settled(uint8_t levels);
  // Whether RI must be looked at without an event: the UARTs Windows'
  // own driver serves raise EV_RING only when RI goes off, so a switch on
  // RI would go down only when it is let go. Once a driver has shown an
  // EV_RING for RI coming on, its events are enough.
  bool pollsRing() const { return (watch_ & lines::RI) && !ringRises_; }

 private:
  uint8_t reported(uint8_t levels) const { return (last_ & watch_) | (levels & ~watch_); }

  uint8_t watch_;
  uint8_t last_;
  // Per line: an event that finds the line where it was last reported
  // means two edges, unless this wait may be reporting an edge already
  // reported: one that a look without an event found, or one a driver
  // with an event history kept from before the wait was armed. Then it
  // says nothing: a lost blip is better than a phantom press.
  uint8_t ambiguous_ = 0;
  bool ringRises_ = false;
};

class Win32LineDriver : public LineDriver {
 public:
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) override;
};

}  // namespace tl::serial_win32
