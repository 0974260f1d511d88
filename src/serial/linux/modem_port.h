// The modem-line ioctls of one open tty, behind a seam so that the waiter
// can be driven by a simulated line (ptys have no modem lines, and neither
// do these build machines' serial-less kernels).
#pragma once

#include <cstdint>
#include <pthread.h>
#include <ctime>

namespace tl::serial_linux {

// TIOCM_* input bits as the line control's lines:: bits.
uint8_t levelsOf(int tiocm);
// lines:: bits as TIOCM_* bits.
int tiocmOf(uint8_t lines);

struct ModemCounts {
  uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
  bool operator==(const ModemCounts&) const = default;
};

// Every call returns 0 or an errno value. Line bits are TIOCM_* values.
class ModemPort {
 public:
  virtual ~ModemPort() = default;
  virtual int getLines(int& bits) = 0;                 // TIOCMGET
  virtual int assertLines(int bits) = 0;               // TIOCMBIS
  // TIOCMIWAIT; EINTR when interrupted. With `timeoutMs` >= 0 it gives up
  // after that long with ETIMEDOUT.
  virtual int waitChange(int mask, int timeoutMs = -1) = 0;
  virtual int counts(ModemCounts& out) = 0;            // TIOCGICOUNT
  // Makes a waitChange() running on `waiter` return EINTR soon. May be
  // called repeatedly until the waiter is seen to have stopped.
  virtual void interrupt(pthread_t waiter) = 0;
};

// The real thing, over a file descriptor the caller owns.
class FdModemPort : public ModemPort {
 public:
  explicit FdModemPort(int fd);
  int getLines(int& bits) override;
  int assertLines(int bits) override;
  ~FdModemPort() override;
  int waitChange(int mask, int timeoutMs = -1) override;
  int counts(ModemCounts& out) override;
  void interrupt(pthread_t waiter) override;

 private:
  int fd_;
  // TIOCMIWAIT takes no timeout: a one-shot timer signals the waiting
  // thread instead. Made on the first bounded wait, by that thread.
  bool haveTimer_ = false;
  timer_t timer_{};
};

}  // namespace tl::serial_linux
