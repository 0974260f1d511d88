// Watches the modem lines of one open port on a thread of its own and
// reports every change through a LineNotify; it decides nothing else.
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
  LineWaiter(ModemPort& port, LineNotify notify, std::string label, std::function<bool()> deviceGone = {});
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
  bool haveCounts_ = false;
  ModemCounts last_;
  bool lastCts_ = false;
  int polled_ = 0;  // lines as last seen; -1 where they cannot be read
  std::thread thread_;
};

}  // namespace tl::serial_linux
