#include "serial/linux/line_waiter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <pthread.h>
#include <sys/ioctl.h>

#include "serial/linux/os_error.h"
#include "core/reports.h"
#include "core/runtime.h"

namespace tl::serial_linux {

namespace {

constexpr uint8_t kLineOrder[] = {lines::CTS, lines::DSR, lines::DCD, lines::RI};

uint32_t countOf(const ModemCounts& c, uint8_t line) {
  switch (line) {
    case lines::CTS: return c.cts;
    case lines::DSR: return c.dsr;
    case lines::DCD: return c.dcd;
    default: return c.rng;
  }
}

}  // namespace

LineWaiter::LineWaiter(ModemPort& port, LineNotify notify, std::string label, std::function<bool()> deviceGone,
                       uint8_t watch)
    : port_(port), notify_(std::move(notify)), label_(std::move(label)), deviceGone_(std::move(deviceGone)),
      watch_(watch & lines::All), watchBits_(tiocmOf(watch_)) {
  // One snapshot at opening, before the thread runs: whatever changes
  // after it is a change to report.
  if (port_.getLines(polled_) == 0)
    lastLevels_ = levelsOf(polled_);
  else
    polled_ = -1;
  haveCounts_ = port_.counts(last_) == 0;
  thread_ = std::thread([this] { run(); });
  // Named, so that its wake-ups can be told apart in /proc; from here, so
  // that it has its name as soon as the line is open, not only once the new
  // thread first gets the processor.
  pthread_setname_np(thread_.native_handle(), "tl-line-waiter");
}

LineWaiter::~LineWaiter() { stop(); }

void LineWaiter::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.notify_all();
  // The signal may land just before the thread enters its wait; repeat it
  // until the thread is seen to have left.
  while (!done_) {
    port_.interrupt(thread_.native_handle());
    cv_.wait_for(lock, std::chrono::milliseconds(1));
  }
  lock.unlock();
  thread_.join();
}

void LineWaiter::hangUp() {
  if (!thread_.joinable()) return;
  hungUp_ = true;
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.notify_all();
  while (!done_ && !stopping_) {
    port_.interrupt(thread_.native_handle());
    cv_.wait_for(lock, std::chrono::milliseconds(1));
  }
}

bool LineWaiter::countsMoved(const ModemCounts& now) const {
  for (uint8_t line : kLineOrder)
    if ((watch_ & line) && countOf(now, line) != countOf(last_, line)) return true;
  return false;
}

bool LineWaiter::sleepPoll() {
  std::unique_lock<std::mutex> lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(kPollMilliseconds),
                       [this] { return stopping_ || hungUp_; });
}

void LineWaiter::run() {
  enum class Mode { Wait, Poll, Park } mode = Mode::Wait;
  // After a change the next wait is bounded: an edge that lands between
  // reading the counters and the kernel's snapshot on entering TIOCMIWAIT
  // would otherwise be slept through until the next edge, and bouncing
  // contacts make exactly such edges. Idle, the wait is unbounded.
  int settling = 0;  // looks still to take before sleeping unbounded
  while (!stopping_) {
    if (hungUp_) return fail("poll", EIO);
    int lines = 0;
    bool haveLines = false;
    ModemCounts now;
    bool countsNow = haveCounts_ && port_.counts(now) == 0;
    if (mode == Mode::Wait) {
      // TIOCMIWAIT compares against counters taken on entry: a change that
      // came between two waits would be slept through, so look first.
      if (!(countsNow && countsMoved(now))) {
        const int rc = port_.waitChange(
            watchBits_, settling ? kSettleMilliseconds[kSettleLooks - settling] : -1);
        if (rc == EINTR) continue;
        if (noModemLines(rc)) {  // a driver that cannot sleep on the lines: sample them
          mode = polled_ >= 0 ? Mode::Poll : Mode::Park;
          continue;
        }
        if (rc == ETIMEDOUT) {
          --settling;
          countsNow = haveCounts_ && port_.counts(now) == 0;
          if (const int e = port_.getLines(lines)) return fail("TIOCMGET", e);
          haveLines = true;
          if (!(countsNow && countsMoved(now)) && (lines & watchBits_) == (polled_ & watchBits_)) continue;
        } else if (rc != 0) {
          return fail("TIOCMIWAIT", rc);
        } else {
          countsNow = haveCounts_ && port_.counts(now) == 0;
        }
      }
      if (!haveLines)
        if (const int rc = port_.getLines(lines)) return fail("TIOCMGET", rc);
      settling = kSettleLooks;
    } else if (mode == Mode::Poll) {
      if (!sleepPoll()) continue;
      countsNow = haveCounts_ && port_.counts(now) == 0;
      if (const int rc = port_.getLines(lines)) return fail("TIOCMGET", rc);
      const bool moved = countsNow && countsMoved(now);
      if ((lines & watchBits_) == (polled_ & watchBits_) && !moved) continue;
    } else {
      // Neither waiting nor reading works (a pty): nothing will ever change.
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return stopping_ || hungUp_; });
      continue;
    }
    // The counters and the level are two reads: an edge between them would
    // show in the level but not the count, and a press and release there
    // would look like nothing. Take both again until they agree.
    if (ModemCounts again; countsNow && port_.counts(again) == 0 && !(again == now)) continue;
    polled_ = lines;
    report(countsNow ? &now : nullptr, lines);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  cv_.notify_all();
}

void LineWaiter::report(const ModemCounts* now, int lines) {
  const uint8_t levels = levelsOf(lines);
  for (uint8_t line : kLineOrder)
    if (watch_ & line) reportLine(line, now, levels);
  if (now) last_ = *now;
  lastLevels_ = levels;
}

void LineWaiter::reportLine(uint8_t line, const ModemCounts* now, uint8_t levels) {
  const bool was = lastLevels_ & line, is = levels & line;
  LineEvent ev;
  ev.line = line;
  uint32_t presses = 0;
  if (now) {
    // The driver counts the line's edges. Edges beyond the one that
    // explains a change of level are whole presses that came and went
    // between two looks: the user pressed, so the desktop must see each.
    const uint32_t edges = countOf(*now, line) - countOf(last_, line);
    const uint32_t unexplained = edges - (is != was && edges ? 1 : 0);
    // RI is the exception: the 8250 counts only its trailing edge (TERI),
    // other drivers both. A count with the level where it was is at least
    // one whole ring, so an odd one is rounded up: a UART's single count
    // still reaches the desktop, and a driver counting both edges never
    // gets a press too many. Two rings between looks on an 8250 remain
    // one, and a ring's start is seen only as a level, never as a count.
    presses = line == lines::RI && is == was ? (unexplained + 1) / 2 : unexplained / 2;
    presses = std::min(presses, kMaxPressesPerLook);
  }
  const uint8_t others = levels & ~line;
  for (uint32_t i = 0; i < presses; ++i) {
    ev.levels = others | (was ? 0 : line);
    notify_(ev);
    ev.levels = others | (was ? line : 0);
    notify_(ev);
  }
  // The last event always matches the line; a line that did not move but
  // for whole presses has already ended there.
  if (is == was) return;
  ev.levels = levels;
  notify_(ev);
}

// A USB adapter pulled out hangs its tty up first and takes the device
// away a moment later; a UART that hangs up stays. Watch for the device
// to go for a while before calling it a failure.
bool LineWaiter::unplugged(int errnum) {
  if (!deviceGone_ || (errnum != EIO && errnum != ENODEV && errnum != ENXIO)) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (int i = 0; i < kUnplugLooks; ++i) {
    if (deviceGone_()) return true;
    if (cv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopping_.load(); })) return false;
  }
  return deviceGone_();
}

void LineWaiter::fail(const char* call, int errnum) {
  LineEvent ev;
  ev.kind = unplugged(errnum) ? LineEvent::Kind::Unplugged : LineEvent::Kind::Failure;
  ev.number = err::kLineFailed;
  // Only an adapter can be pulled out; a built-in port's line ends when
  // its terminal is hung up.
  const bool adapter = label_.find("/dev/ttyUSB") != std::string::npos;
  ev.description = reports::lineLost(label_, osReason(errnum), osCall(call, errnum), errnum == EIO && adapter);
  notify_(ev);
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  cv_.notify_all();
}

}  // namespace tl::serial_linux
