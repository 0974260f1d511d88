// src/sim is the simulated serial line, a backend beside linux/ and win32/:
// the tests, the benchmark and tastlink-sim (main/main_sim.cpp, the Linux
// program with simulated ports) run the real program on it. Built only with
// the tests or the benchmark.
//
// An open line over a simulated port, watched by the real line waiter: what
// the tests, the benchmark and tastlink-sim put in place of termios.
#pragma once

#include <memory>
#include <string>

#include "serial/mscomm.h"
#include "serial/linux/line_waiter.h"
#include "sim/sim_modem_port.h"

namespace tl::sim {

class SimLine : public OpenLine {
 public:
  SimLine(SimModemPort& port, LineNotify notify, const std::string& label, uint8_t watch = lines::CTS)
      : port_(port), waiter_(port, std::move(notify), label, [&port] { return port.gone(); }, watch) {}
  ~SimLine() override {
    waiter_.stop();
    // A closed port drops its outputs, as the kernel does on close.
    std::lock_guard<std::mutex> g(port_.m);
    port_.lines &= ~(TIOCM_DTR | TIOCM_RTS);
  }
  uint8_t levels() override {
    int bits = 0;
    return port_.getLines(bits) == 0 ? serial_linux::levelsOf(bits) : 0;
  }

 private:
  SimModemPort& port_;
  serial_linux::LineWaiter waiter_;
};

// One simulated port, COM1; remembers the last line's notify for floods.
class SimLineDriver : public LineDriver {
 public:
  SimModemPort port;
  std::shared_ptr<LineNotify> lastNotify;
  std::unique_ptr<OpenLine> open(int16_t, bool dtr, bool rts, uint8_t watch, LineNotify notify) override {
    port.assertLines((dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0));
    lastNotify = std::make_shared<LineNotify>(notify);
    return std::make_unique<SimLine>(port, std::move(notify), "COM1 (sim)", watch);
  }
};

}  // namespace tl::sim
