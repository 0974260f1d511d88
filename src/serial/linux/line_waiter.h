// Watches the modem lines of one open port on a thread of its own and
// reports every change of the lines it is asked to watch through a
// LineNotify, one event per line; it decides nothing else.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "serial/mscomm.h"
#include "serial/linux/modem_port.h"

namespace tl::serial_linux {

class LineWaiter {
 public:
  // `label` names the port in reports, e.g. "COM3 (/dev/ttyS0)".
  // `deviceGone`, where given, tells whether the device itself went away: a
  // line that fails then was unplugged, and the program waits for it.
  // `watch`: the lines:: bits whose changes are reported; the others do
  // not even wake the thread.
  LineWaiter(ModemPort& port, LineNotify notify, std::string label, std::function<bool()> deviceGone = {},
             uint8_t watch = lines::CTS);
  ~LineWaiter();
  LineWaiter(const LineWaiter&) = delete;
  LineWaiter& operator=(const LineWaiter&) = delete;

  // Stops and joins the thread, whatever it is blocked in. Idempotent.
  void stop();

  // The port was hung up (another watcher saw it): report the line as
  // failed now. TIOCMIWAIT itself ends on a hang-up only for some drivers
  // (USB serial); the 8250 driver would sleep on until the next change.
  void hangUp();

  // How often the fallback samples the lines when the driver cannot wait.
  static constexpr int kPollMilliseconds = 5;
  // After a change the line is looked at again this long after it, then
  // after each further quiet stretch, before the waiter sleeps unbounded:
  // bouncing contacts put edges right after a change, and each look closes
  // the gap an edge could fall into when the kernel's wait begins.
  static constexpr int kSettleLooks = 3;
  static constexpr int kSettleMilliseconds[kSettleLooks] = {20, 200, 2000};
  // A bound on the presses sent for one look, so that a broken line or a
  // driver's counter reset cannot flood the desktop.
  static constexpr uint32_t kMaxPressesPerLook = 100;

 private:
  void run();
  void report(const ModemCounts* now, int lines);
  void reportLine(uint8_t line, const ModemCounts* now, uint8_t levels);
  bool countsMoved(const ModemCounts& now) const;
  void fail(const char* call, int errnum);
  bool unplugged(int errnum);
  static constexpr int kUnplugLooks = 30;  // 10 ms apart
  bool sleepPoll();

  ModemPort& port_;
  LineNotify notify_;
  std::string label_;
  std::function<bool()> deviceGone_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> hungUp_{false};
  bool done_ = false;  // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable cv_;
  const uint8_t watch_;
  const int watchBits_;  // watch_ as TIOCM_* bits
  bool haveCounts_ = false;
  ModemCounts last_;
  uint8_t lastLevels_ = 0;  // as last reported
  int polled_ = 0;  // lines as last seen; -1 where they cannot be read
  std::thread thread_;
};

}  // namespace tl::serial_linux
