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

// What a line reports, from whatever thread watches it.
struct LineEvent {
  // Unplugged: the device itself went away (an adapter pulled out); the
  // program waits for it instead of ending.
  enum class Kind { Change, Failure, Unplugged };
  Kind kind = Kind::Change;
  bool cts = false;        // Change: CTS as read right after the change
  int number = 0;          // Failure: the program's error number
  std::string description; // Failure: German, naming device and OS reason
};

using LineNotify = std::function<void(const LineEvent&)>;

// An open port. Destroying it stops whatever watches the line, waits for
// that to finish and closes the port.
class OpenLine {
 public:
  virtual ~OpenLine() = default;
  virtual bool cts() = 0;
};

class LineDriver {
 public:
  virtual ~LineDriver() = default;
  // Opens COM<port> exclusively at 9600 8N1, asserting DTR/RTS as asked,
  // and starts reporting changes through `notify` (any thread). Raises an
  // Error when the port cannot be opened.
  virtual std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, LineNotify notify) = 0;
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
  bool CTSHolding();
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
  std::unique_ptr<OpenLine> line_;
  uint64_t generation_ = 0;
  // CTS as the report being handled saw it, so the handler reads the state
  // that caused its notification even if the line has moved on since.
  const LineEvent* current_ = nullptr;
};

}  // namespace tl
