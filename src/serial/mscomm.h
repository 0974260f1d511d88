// src/serial is the serial port as the handlers see it: the line control
// (here), the port probe (comport.h) and the file layer's bookkeeping
// (file_table.h). linux/ and win32/ hold each system's line driver, file
// layer and port rules.
//
// The serial line control the window holds: five properties and one
// notification, over a platform line driver. The control enforces the
// rules callers rely on (CommPort only while closed, reading PortOpen never
// fails, DTR/RTS asserted on every opening while enabled); the driver only
// opens ports and reports line changes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tl {

// The modem input lines a switch can be wired to, as bits: a line's
// levels travel as one byte.
namespace lines {
constexpr uint8_t CTS = 1, DSR = 2, DCD = 4, RI = 8;
constexpr uint8_t All = CTS | DSR | DCD | RI;
}  // namespace lines

// The control's notification codes, one per input line.
constexpr int16_t comEvCTS = 3, comEvDSR = 4, comEvCD = 5, comEvRing = 6;

// What a line reports, from whatever thread watches it.
struct LineEvent {
  // Unplugged: the device itself went away (an adapter pulled out); the
  // program waits for it instead of ending.
  enum class Kind { Change, Failure, Unplugged };
  Kind kind = Kind::Change;
  uint8_t line = lines::CTS;  // Change: the one line this change is about
  uint8_t levels = 0;         // Change: every line's level right after it
  bool cts() const { return levels & lines::CTS; }
  int number = 0;          // Failure: the program's error number
  std::string description; // Failure: German, naming device and OS reason
};

using LineNotify = std::function<void(const LineEvent&)>;

// An open port. Destroying it stops whatever watches the line, waits for
// that to finish and closes the port.
class OpenLine {
 public:
  virtual ~OpenLine() = default;
  // The input lines' levels now, as lines:: bits.
  virtual uint8_t levels() = 0;
};

class LineDriver {
 public:
  virtual ~LineDriver() = default;
  // Opens COM<port> exclusively at 9600 8N1, asserting DTR/RTS as asked,
  // and starts reporting changes of the `watch` lines through `notify`
  // (any thread), one event per line. Raises an Error when the port cannot
  // be opened.
  virtual std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) = 0;
};

// Runs a task on the window's thread, later; callable from any thread.
using Poster = std::function<void(std::function<void()>)>;

class MSComm {
 public:
  MSComm(LineDriver& driver, Poster post);
  ~MSComm();
  MSComm(const MSComm&) = delete;
  MSComm& operator=(const MSComm&) = delete;

  int16_t CommPort() const { return commPort_; }
  void setCommPort(int16_t port);
  bool CTSHolding() { return Holding(lines::CTS); }
  bool DSRHolding() { return Holding(lines::DSR); }
  bool CDHolding() { return Holding(lines::DCD); }
  bool RIHolding() { return Holding(lines::RI); }
  // The level of one line (a lines:: bit).
  bool Holding(uint8_t line);
  // Which line the notification being handled is about: comEvCTS, ….
  int16_t CommEvent() const;
  // The lines whose changes are reported, from the next opening on.
  void setWatch(uint8_t watch) { watch_ = watch; }
  void setDTREnable(bool on) { dtr_ = on; }
  void setRTSEnable(bool on) { rts_ = on; }
  bool PortOpen() const noexcept { return line_ != nullptr; }
  void setPortOpen(bool open);
  void closeQuietly() noexcept;

  std::function<void()> OnComm;
  // The line's device went away; the line is closed by then.
  std::function<void()> OnUnplug;

  // On the window's thread: a report of the line opened as `generation`.
  // Reports of a line since closed are dropped; a failure raises its Error.
  void deliver(uint64_t generation, const LineEvent& ev);

 private:
  LineDriver& driver_;
  Poster post_;
  int16_t commPort_ = 1;
  bool dtr_ = false;
  bool rts_ = false;
  uint8_t watch_ = lines::CTS;
  std::unique_ptr<OpenLine> line_;
  uint64_t generation_ = 0;
  // The report being handled, so the handler reads the levels that caused
  // its notification even if the line has moved on since.
  const LineEvent* current_ = nullptr;
};

}  // namespace tl
