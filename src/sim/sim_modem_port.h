// A simulated serial line with modem lines and interrupt counters, behaving
// like the kernel's: TIOCMIWAIT snapshots the counters on entry and returns
// when any watched counter moves, on a hang-up (EIO) or when interrupted.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "serial/linux/modem_port.h"
#include "serial/mscomm.h"

namespace tl::sim {

class SimModemPort : public serial_linux::ModemPort {
 public:
  bool canWait = true;    // false: a driver without TIOCMIWAIT
  bool canCount = true;   // false: a driver without TIOCGICOUNT
  bool hasLines = true;   // false: a pty
  int lines = 0;          // guarded by m (assertLines writes DTR/RTS here)

  int edgesAtNextWait = 0;  // guarded by m: CTS edges racing the next wait
  int edgesAtNextRead = 0;  // guarded by m: CTS edges between reading the counters and the lines

  // An 8250 UART counts only RI's trailing edge (TERI); most USB drivers
  // count both.
  bool riTrailingOnly = false;

  // The button. Each change of CTS counts one edge.
  void setCts(bool on) { set(lines::CTS, on); }
  // Any input line (a lines:: bit) to a level; each change counts one edge.
  void set(uint8_t line, bool on) {
    std::lock_guard<std::mutex> g(m);
    const int bit = serial_linux::tiocmOf(line);
    if (((lines & bit) != 0) == on) return;
    lines ^= bit;
    count(line, !on);
    waitsAtChange_ = waits_;
    cv.notify_all();
  }
  // Another input line moves (DSR): a notification with CTS unchanged.
  void toggleDsr() {
    std::lock_guard<std::mutex> g(m);
    lines ^= TIOCM_DSR;
    ++counts_.dsr;
    waitsAtChange_ = waits_;
    cv.notify_all();
  }
  // Press and release faster than anyone looks: two edges per press, same level.
  void blip(int presses = 1, uint8_t line = lines::CTS) {
    std::lock_guard<std::mutex> g(m);
    const bool on = lines & serial_linux::tiocmOf(line);
    for (int i = 0; i < presses; ++i) count(line, on), count(line, !on);
    waitsAtChange_ = waits_;
    cv.notify_all();
  }
  // Several edges between two looks, the line ending flipped when `edges`
  // is odd.
  void burst(int edges, uint8_t line = lines::CTS) {
    std::lock_guard<std::mutex> g(m);
    const int bit = serial_linux::tiocmOf(line);
    for (int i = 0; i < edges; ++i) count(line, lines & bit), lines ^= bit;
    waitsAtChange_ = waits_;
    cv.notify_all();
  }
  // The adapter pulled out: hung up, and the device gone.
  void unplug() {
    std::lock_guard<std::mutex> g(m);
    hungUp_ = gone_ = true;
    cv.notify_all();
  }
  bool gone() {
    std::lock_guard<std::mutex> g(m);
    return gone_;
  }
  void hangUp() {
    std::lock_guard<std::mutex> g(m);
    hungUp_ = true;
    cv.notify_all();
  }
  int waitsEntered() {
    std::lock_guard<std::mutex> g(m);
    return waits_;
  }
  // Waits until the line's waiter comes back to wait after the last change:
  // it has seen the change and passed it on by then. False after `ms`.
  bool seenByWaiter(int ms) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return waits_ > waitsAtChange_; });
  }
  int outputs() {
    std::lock_guard<std::mutex> g(m);
    return lines & (TIOCM_DTR | TIOCM_RTS);
  }

  int getLines(int& bits) override {
    std::lock_guard<std::mutex> g(m);
    if (!hasLines) return ENOTTY;
    if (hungUp_) return EIO;
    for (; edgesAtNextRead > 0; --edgesAtNextRead) {
      lines ^= TIOCM_CTS;
      ++counts_.cts;
    }
    bits = lines;
    return 0;
  }
  int assertLines(int bits) override {
    std::lock_guard<std::mutex> g(m);
    if (!hasLines) return ENOTTY;
    lines |= bits;
    return 0;
  }
  int waitChange(int mask, int timeoutMs = -1) override {
    std::unique_lock<std::mutex> l(m);
    if (!canWait || !hasLines) return EINVAL;
    if (edgesAtNextWait) {
      // Edges that land after the caller looked but before the snapshot.
      for (; edgesAtNextWait > 0; --edgesAtNextWait) {
        lines ^= TIOCM_CTS;
        ++counts_.cts;
      }
    }
    const serial_linux::ModemCounts entry = counts_;
    ++waits_;
    cv.notify_all();
    auto moved = [&] {
      return ((mask & TIOCM_CTS) && counts_.cts != entry.cts) || ((mask & TIOCM_DSR) && counts_.dsr != entry.dsr) ||
             ((mask & TIOCM_CD) && counts_.dcd != entry.dcd) || ((mask & TIOCM_RI) && counts_.rng != entry.rng);
    };
    auto woken = [&] { return interrupted_ || hungUp_ || moved(); };
    if (timeoutMs < 0)
      cv.wait(l, woken);
    else if (!cv.wait_for(l, std::chrono::milliseconds(timeoutMs), woken))
      return ETIMEDOUT;
    if (hungUp_) return EIO;
    if (moved()) return 0;
    interrupted_ = false;
    return EINTR;
  }
  int counts(serial_linux::ModemCounts& out) override {
    std::lock_guard<std::mutex> g(m);
    if (!canCount) return ENOTTY;
    out = counts_;
    return 0;
  }
  void interrupt(pthread_t) override {
    std::lock_guard<std::mutex> g(m);
    interrupted_ = true;
    cv.notify_all();
  }

  std::mutex m;
  std::condition_variable cv;

 private:
  // One edge of `line`; `falling`: the line goes from asserted to not.
  void count(uint8_t line, bool falling) {
    switch (line) {
      case lines::CTS: ++counts_.cts; break;
      case lines::DSR: ++counts_.dsr; break;
      case lines::DCD: ++counts_.dcd; break;
      default:
        if (falling || !riTrailingOnly) ++counts_.rng;
    }
  }

  serial_linux::ModemCounts counts_;
  bool hungUp_ = false;
  bool gone_ = false;
  bool interrupted_ = false;
  int waits_ = 0;
  int waitsAtChange_ = 0;
};

}  // namespace tl::sim
