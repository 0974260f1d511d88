// Faults and floods through the real line waiter and the handlers: contact
// bounce, 100,000 notifications, and a thousand open/close cycles of the
// termios line, with nothing leaked.
#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "fakes/fakes.h"
#include "fakes/proc.h"
#include "serial/linux/line_waiter.h"
#include "serial/linux/termios_line.h"
#include "sim/sim_line.h"

using namespace tl;
using namespace std::chrono_literals;

namespace {


// The window thread's queue, fed from the waiter's thread.
struct ThreadQueue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;
  size_t posted = 0;
  Poster poster() {
    return [this](std::function<void()> t) {
      std::lock_guard<std::mutex> g(m);
      tasks.push_back(std::move(t));
      ++posted;
      cv.notify_all();
    };
  }
  // Runs tasks until `done` holds with nothing queued, or the time is up.
  void runUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::unique_lock<std::mutex> l(m);
      cv.wait_for(l, 5ms, [&] { return !tasks.empty(); });
      if (tasks.empty()) {
        if (done() || std::chrono::steady_clock::now() > end) return;
        continue;
      }
      auto t = std::move(tasks.front());
      tasks.pop_front();
      l.unlock();
      t();
    }
  }
};

struct Rig {
  fake::Log log;
  fake::Form form{log};
  fake::Files files{log};
  fake::Keys keys{log};
  Keyboard shift{keys};
  sim::SimLineDriver driver;
  ThreadQueue queue;
  MSComm line{driver, queue.poster()};
  Form1 form1{form, line, files, shift};
  Rig() {
    files.openable = {1};
    form1.Form_Load();
  }
  std::vector<std::string> keyEvents() const {
    std::vector<std::string> out;
    for (auto& e : log)
      if (e.rfind("key:", 0) == 0) out.push_back(e);
    return out;
  }
};

long rssKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 10, '\n');
  }
  return 0;
}

}  // namespace

TEST(Faults, ContactBounceEndsOnTheKeyOfTheFinalLevel) {
  Rig rig;
  std::mt19937 rng(7);
  for (int burst = 0; burst < 200; ++burst) {
    const int edges = 1 + static_cast<int>(rng() % 9);
    bool level = false;
    {
      int bits = 0;
      rig.driver.port.getLines(bits);
      level = bits & TIOCM_CTS;
    }
    for (int i = 0; i < edges; ++i) {
      level = !level;
      rig.driver.port.setCts(level);
      if (rng() % 2) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
    }
    const std::string expect = level ? "key:16,1,0,0" : "key:16,1,2,0";
    rig.queue.runUntil([&] {
      auto keys = rig.keyEvents();
      return !keys.empty() && keys.back() == expect;
    }, 10s);
    auto keys = rig.keyEvents();
    ASSERT_FALSE(keys.empty());
    ASSERT_EQ(keys.back(), expect) << "burst " << burst;
    ASSERT_EQ(rig.form.label1, level ? "SHIFT gedrückt" : "SHIFT losgelassen");
  }
}

TEST(Faults, AFloodOfNotificationsIsHandledInOrderWithFlatMemory) {
  // 100,000 reports from the line's thread while the window thread handles
  // them: each one handled, in the order posted, and nothing kept after.
  fake::Log log;
  fake::Form form(log);
  fake::Files files(log);
  fake::LineDriverFake driver(log);
  fake::Keys keys(log);
  Keyboard shift(keys);
  ThreadQueue queue;
  MSComm line(driver, queue.poster());
  Form1 form1(form, line, files, shift);
  files.openable = {1};
  form1.Form_Load();

  constexpr int kNotifications = 100000;
  [[maybe_unused]] const long rssBefore = rssKiB();
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    for (int i = 0; i < kNotifications; ++i) {
      LineEvent ev;
      ev.levels = i % 3 != 2 ? lines::CTS : 0;  // down, down, up, ...: repeats must not be merged
      driver.notify(ev);
    }
    flooding = false;
  });
  queue.runUntil([&] { return !flooding.load(); }, 120s);
  flood.join();
  queue.runUntil([] { return true; }, 5s);

  std::vector<std::string> handled;
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].rfind("key:", 0) == 0) {
      handled.push_back(log[i]);
      ASSERT_LT(i + 1, log.size());
      ASSERT_EQ(log[i + 1], log[i] == "key:16,1,0,0" ? "label:SHIFT gedrückt" : "label:SHIFT losgelassen");
    }
  ASSERT_EQ(handled.size(), static_cast<size_t>(kNotifications));
  for (int i = 0; i < kNotifications; ++i)
    ASSERT_EQ(handled[i], i % 3 != 2 ? "key:16,1,0,0" : "key:16,1,2,0") << "notification " << i;
  log.clear();
  log.shrink_to_fit();
  handled.clear();
  handled.shrink_to_fit();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // sanitizers keep memory of their own
  EXPECT_LT(rssKiB() - rssBefore, 32 * 1024) << "KiB kept after the flood";
#endif
}

TEST(Faults, AThousandOpenCloseCyclesOfTheTermiosLineLeakNothing) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tl-cycles-" + std::to_string(getpid()));
  fs::create_directories(root / "dev");
  fs::create_directories(root / "sys/class/tty/ttyS0");
  std::ofstream(root / "sys/class/tty/ttyS0/type") << "4";
  int master = -1, slave = -1;
  char path[256];
  ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
  ::close(slave);
  fs::create_symlink(path, root / "dev/ttyS0");
  serial_linux::TermiosLineDriver driver{serial_linux::PortResolver(root.string())};
  const int fds = proc::openFds();
  for (int i = 0; i < 1000; ++i) {
    auto line = driver.open(1, true, true, lines::CTS, [](const LineEvent&) {});
    if (i % 2) std::this_thread::sleep_for(std::chrono::microseconds(50));  // let it block first
  }
  EXPECT_EQ(proc::openFds(), fds);
  EXPECT_EQ(proc::threads("tl-line-waiter"), 0);
  ::close(master);
  fs::remove_all(root);
}
