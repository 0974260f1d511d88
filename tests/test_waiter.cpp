// The line waiter against a simulated line: every change reported, none
// missed, the fallback for drivers that cannot wait, and prompt stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "fakes/proc.h"
#include "serial/linux/line_waiter.h"
#include "sim/sim_modem_port.h"

using namespace tl;
using namespace std::chrono_literals;

namespace {

std::string name(uint8_t line) {
  return line == lines::DSR ? "DSR" : line == lines::DCD ? "DCD" : line == lines::RI ? "RI" : "CTS";
}

// Collects what the waiter reports, from its thread.
struct Reports {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> seen;
  std::function<void()> hook;  // runs on the waiter thread, after recording

  LineNotify notify() {
    return [this](const LineEvent& ev) {
      {
        std::lock_guard<std::mutex> g(m);
        seen.push_back(ev.kind == LineEvent::Kind::Failure ? "fail:" + ev.description
                       : ev.line == lines::CTS     ? (ev.cts() ? "down" : "up")
                                                   : name(ev.line) + ((ev.levels & ev.line) ? "+" : "-"));
        cv.notify_all();
      }
      if (hook) hook();
    };
  }
  // Waits (generously: these machines are shared) until `n` reports came.
  std::vector<std::string> await(size_t n) {
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, 10s, [&] { return seen.size() >= n; });
    return seen;
  }
};

// Until the waiter has entered its n-th wait (10 s at most).
void awaitWaits(sim::SimModemPort& port, int n) {
  for (int i = 0; i < 10000 && port.waitsEntered() < n; ++i) std::this_thread::sleep_for(1ms);
}


using V = std::vector<std::string>;

}  // namespace

TEST(Waiter, ReportsEachWatchedLinesChangesAsItsOwn) {
  struct Case {
    const char* what;
    uint8_t watch;
    bool riTrailingOnly;
    std::function<void(sim::SimModemPort&)> act;
    V want;  // in each line's own order; lines apart may come in any order
  };
  const Case cases[] = {
      {"unwatched lines say nothing", lines::CTS, false,
       [](sim::SimModemPort& p) {
         p.set(lines::DSR, true), p.set(lines::DCD, true), p.blip(1, lines::RI);
         p.setCts(true);
       },
       {"down"}},
      {"every line its own events", lines::All, false,
       [](sim::SimModemPort& p) {
         p.set(lines::DSR, true), p.setCts(true), p.set(lines::RI, true), p.set(lines::DCD, true);
         p.set(lines::DSR, false);
       },
       {"down", "DSR+", "DSR-", "DCD+", "RI+"}},
      {"short presses on another line", lines::DSR | lines::DCD, false, [](sim::SimModemPort& p) { p.blip(2, lines::DCD); },
       {"DCD+", "DCD-", "DCD+", "DCD-"}},
      {"a short ring counted at both edges", lines::RI, false, [](sim::SimModemPort& p) { p.blip(1, lines::RI); },
       {"RI+", "RI-"}},
      // An 8250 counts a ring once, at its end, and TIOCMIWAIT wakes only on
      // counts: a ring held down comes whole at its release.
      {"a short ring counted at its end", lines::RI, true, [](sim::SimModemPort& p) { p.blip(1, lines::RI); },
       {"RI+", "RI-"}},
      {"a held ring counted at its end", lines::RI, true,
       [](sim::SimModemPort& p) {
         p.set(lines::RI, true);
         std::this_thread::sleep_for(30ms);
         p.set(lines::RI, false);
       },
       {"RI+", "RI-"}},
  };
  auto byLine = [](V v) {
    std::stable_sort(v.begin(), v.end(), [](const std::string& a, const std::string& b) {
      auto rank = [](const std::string& e) { return e == "down" || e == "up" ? 0 : e[1] == 'S' ? 1 : e[1] == 'C' ? 2 : 3; };
      return rank(a) < rank(b);
    });
    return v;
  };
  for (const Case& c : cases) {
    sim::SimModemPort port;
    port.riTrailingOnly = c.riTrailingOnly;
    Reports r;
    serial_linux::LineWaiter w(port, r.notify(), "COM1 (sim)", {}, c.watch);
    awaitWaits(port, 1);
    c.act(port);
    r.await(c.want.size());
    std::this_thread::sleep_for(50ms);  // nothing more may follow
    EXPECT_EQ(byLine(r.await(c.want.size())), c.want) << c.what;
  }
}

TEST(Waiter, AChangeBetweenTwoWaitsIsNotSleptThrough) {
  sim::SimModemPort port;
  Reports r;
  bool once = false;
  // The release lands while the waiter is busy reporting the press, before
  // it waits again: a waiter that trusted the wait alone would hang on.
  r.hook = [&] {
    if (!once) {
      once = true;
      port.setCts(false);
    }
  };
  serial_linux::LineWaiter w(port, r.notify(), "COM1 (sim)");
  awaitWaits(port, 1);
  port.setCts(true);
  EXPECT_EQ(r.await(2), (V{"down", "up"}));
}

TEST(Waiter, APressTooShortToSeeStillGivesDownThenUp) {
  for (bool canWait : {true, false}) {
    sim::SimModemPort port;
    port.canWait = canWait;
    Reports r;
    serial_linux::LineWaiter w(port, r.notify(), "COM1 (sim)");
    if (canWait) awaitWaits(port, 1);
    std::this_thread::sleep_for(20ms);
    port.blip();
    EXPECT_EQ(r.await(2), (V{"down", "up"})) << (canWait ? "waiting" : "polling");
  }
}

TEST(Waiter, EveryEdgeBetweenTwoLooksIsAPressOrRelease) {
  struct Case {
    const char* what;
    std::function<void(sim::SimModemPort&)> act;
    V want;
  };
  const Case cases[] = {
      // The release bounces in just before the kernel's snapshot: only a
      // second look after the change can see it.
      {"release racing the next wait",
       [](sim::SimModemPort& p) {
         { std::lock_guard<std::mutex> g(p.m); p.edgesAtNextWait = 1; }
         p.setCts(true);
       },
       {"down", "up"}},
      {"press, release, press at once", [](sim::SimModemPort& p) { p.burst(3); }, {"down", "up", "down"}},
      // ...and as the wait after the first quiet look begins.
      {"release racing the wait after a quiet look",
       [](sim::SimModemPort& p) {
         p.setCts(true);
         awaitWaits(p, 2);  // in the first look's wait
         std::lock_guard<std::mutex> g(p.m);
         p.edgesAtNextWait = 1;
       },
       {"down", "up"}},
      // The release lands between reading the counters and the level.
      {"release between two reads",
       [](sim::SimModemPort& p) {
         { std::lock_guard<std::mutex> g(p.m); p.edgesAtNextRead = 1; }
         p.setCts(true);
       },
       {"down", "up"}},
      {"three short presses at once", [](sim::SimModemPort& p) { p.blip(3); },
       {"down", "up", "down", "up", "down", "up"}},
  };
  for (const Case& c : cases) {
    sim::SimModemPort port;
    Reports r;
    serial_linux::LineWaiter w(port, r.notify(), "COM1 (sim)");
    awaitWaits(port, 1);
    c.act(port);
    r.await(c.want.size());
    std::this_thread::sleep_for(50ms);  // nothing more may follow
    EXPECT_EQ(r.await(c.want.size()), c.want) << c.what;
  }
}

TEST(Waiter, PollsWhenTheDriverCannotWait) {
  sim::SimModemPort port;
  port.canWait = false;
  port.canCount = false;
  Reports r;
  serial_linux::LineWaiter w(port, r.notify(), "COM1 (sim)");
  port.setCts(true);
  r.await(1);
  port.setCts(false);
  EXPECT_EQ(r.await(2), (V{"down", "up"}));
}

TEST(Waiter, HangUpIsAFailureNamingThePort) {
  sim::SimModemPort port;
  Reports r;
  serial_linux::LineWaiter w(port, r.notify(), "COM4 (/dev/ttyUSB0)");
  awaitWaits(port, 1);
  port.hangUp();
  auto seen = r.await(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].find("fail:Die Verbindung zu COM4 (/dev/ttyUSB0) ist abgerissen"), std::string::npos) << seen[0];
  EXPECT_NE(seen[0].find("abgezogen"), std::string::npos);
  w.stop();  // after a failure the thread is already gone; stop still returns
}

TEST(Waiter, StopsPromptlyWhateverItIsBlockedInAndLeaksNothing) {
  const int fdsBefore = proc::openFds();
  for (int i = 0; i < 1000; ++i) {
    sim::SimModemPort port;
    port.canWait = i % 3 != 1;  // blocked in a wait, or polling,
    port.hasLines = i % 3 != 2; // or parked on a line with no modem lines
    Reports r;
    serial_linux::LineWaiter w(port, r.notify(), "COM1 (sim)");
    if (i % 3 == 0) awaitWaits(port, 1);
    w.stop();
  }
  EXPECT_EQ(proc::openFds(), fdsBefore);
  EXPECT_EQ(proc::threads("tl-line-waiter"), 0);
}
