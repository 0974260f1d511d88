// tastlink-sim: the Linux program with simulated serial ports in place of
// termios, for end-to-end tests of the real window and real key injection.
// Ports come from TASTLINK_SIM_PORTS ("3,12"), those another program holds
// at start-up from TASTLINK_SIM_TAKEN; the button and the tests'
// questions arrive on standard input, one command a line:
//   press N [LINE] | release N [LINE] | blip N [LINE]  -> "ok" (LINE: CTS,
//     the default, DSR, DCD or RI)
//   bounce N EDGES [LINE]  -> "ok" once EDGES changes 1 ms apart are made,
//     the line ending flipped when EDGES is odd (a contact that bounces)
//   settle N    -> "ok" once the program has taken in the last change
//   hangup N | take N | free N  -> "ok"
//   unplug N | plug N  -> "ok" (an adapter pulled out, put back or new)
//   lines N     -> "dtr=0/1 rts=0/1"
//   dump        -> label, list, selection, focus, visible windows, message box,
//                  minimized=1 while the main window is, the text typed
//   choose I    -> the user picks list row I (a click, even on the same row)
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "keys/linux/injectors.h"
#include "desktop/linux/user_files.h"
#include "main/linux_app.h"
#include "serial/linux/line_waiter.h"
#include "sim/sim_line.h"
#include "window/switches.h"
#include "core/reports.h"
#include "core/runtime.h"

using namespace tl;

namespace {

struct Bench {
  std::mutex m;
  std::map<int, std::unique_ptr<sim::SimModemPort>> ports;
  std::set<int> taken;  // held by "another program"
  std::vector<std::unique_ptr<sim::SimModemPort>> retired;  // unplugged, kept for lines still on them
  int watchFd = -1;  // poked when a port is plugged or unplugged
  sim::SimModemPort* port(int n) {
    std::lock_guard<std::mutex> g(m);
    auto it = ports.find(n);
    return it == ports.end() ? nullptr : it->second.get();
  }
  // A port that is there: not unplugged.
  sim::SimModemPort* present(int n) {
    auto* p = port(n);
    return p && !p->gone() ? p : nullptr;
  }
  bool isTaken(int n) {
    std::lock_guard<std::mutex> g(m);
    return taken.count(n) != 0;
  }
} bench;

// With TASTLINK_SIM_OPENS naming a file, every open of a port is recorded
// there: how the tests see that something touched no port.
void recordOpen(const std::string& what) {
  if (const char* path = std::getenv("TASTLINK_SIM_OPENS"))
    if (FILE* f = std::fopen(path, "a")) {
      std::fprintf(f, "%s\n", what.c_str());
      std::fclose(f);
    }
}

class SimDriver : public LineDriver {
 public:
  std::unique_ptr<OpenLine> open(int16_t n, bool dtr, bool rts, uint8_t watch, LineNotify notify) override {
    recordOpen("line COM" + std::to_string(n));
    auto* p = bench.present(n);
    const std::string label = "COM" + std::to_string(n) + " (sim)";
    if (!p) throw Error(err::kDeviceUnavailable, reports::notPresent(n));
    if (bench.isTaken(n))
      throw Error(err::kPathAccess, reports::cannotOpen(label, "wird gerade von einem anderen Programm benutzt", ""));
    p->assertLines((dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0));
    return std::make_unique<sim::SimLine>(*p, std::move(notify), label, watch);
  }
};

// The simulated ports' comings and goings, told through an eventfd as the
// udev monitor tells the real ones.
class SimWatch : public comport::DeviceWatch {
 public:
  SimWatch() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    reported_ = presentNow();
    bench.watchFd = fd_;
  }
  ~SimWatch() override {
    bench.watchFd = -1;
    ::close(fd_);
  }
  int fd() const override { return fd_; }
  // A port whose device was replaced went and came, as with the real ones.
  comport::PortChanges changes() override {
    uint64_t n = 0;
    [[maybe_unused]] ssize_t r = ::read(fd_, &n, sizeof n);
    const auto now = presentNow();
    comport::PortChanges c;
    for (auto [p, dev] : reported_)
      if (!now.count(p) || now.at(p) != dev) c.left.push_back(static_cast<int16_t>(p));
    for (auto [p, dev] : now)
      if (!reported_.count(p) || reported_.at(p) != dev) c.arrived.push_back(static_cast<int16_t>(p));
    reported_ = now;
    return c;
  }

 private:
  static std::map<int, sim::SimModemPort*> presentNow() {
    std::map<int, sim::SimModemPort*> out;
    for (int n = 1; n <= 16; ++n)
      if (auto* p = bench.present(n)) out[n] = p;
    return out;
  }
  int fd_;
  std::map<int, sim::SimModemPort*> reported_;
};

void pokeWatch() {
  const uint64_t one = 1;
  if (bench.watchFd >= 0) [[maybe_unused]] ssize_t r = ::write(bench.watchFd, &one, sizeof one);
}

class SimFiles : public comport::FileLayer {
 public:
  int16_t FreeFile() override { return next_; }
  void Open(const std::string& name, int16_t f) override {
    recordOpen("probe " + name);
    const int n = std::atoi(name.c_str() + 3);
    if (!bench.present(n)) throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar");
    // As the Linux probe words a port whose lock file names a live program.
    if (bench.isTaken(n))
      throw Error(err::kPathAccess, "wird gerade von Prozess 4242 „minicom“ benutzt (Sperrdatei /run/lock/LCK..sim" +
                                        std::to_string(n) + ").");
    open_.insert(f);
    ++next_;
  }
  void Close(int16_t f) override { open_.erase(f); }

 private:
  int16_t next_ = 1;
  std::set<int16_t> open_;
};

std::string dump() {
  std::ostringstream o;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* l = w->findChild<QLabel*>("Label1")) o << "label=" << l->text().toStdString() << "\n";
    if (auto* c = w->findChild<QComboBox*>("Combo1")) {
      o << "list=";
      for (int i = 0; i < c->count(); ++i) o << (i ? "," : "") << c->itemText(i).toStdString();
      o << "\nselected=" << c->currentText().toStdString() << "\n";
    }
    if (w->isVisible()) o << "visible=" << w->metaObject()->className() << "\n";
    if (w->findChild<QLabel*>("Label1") && w->isMinimized()) o << "minimized=1\n";
    if (auto* t = w->findChild<QPlainTextEdit*>("Text1")) o << "text=" << t->toPlainText().toStdString() << "\n";
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
      o << (box->objectName() == "note" ? "note=" : "box=") << box->text().replace('\n', "\\n").toStdString()
        << "\n";
  }
  if (QWidget* f = QApplication::focusWidget()) o << "focus=" << f->objectName().toStdString() << "\n";
  o << "end";
  return o.str();
}

void onUiThread(const std::function<void()>& f) {
  QMetaObject::invokeMethod(qApp, f, Qt::BlockingQueuedConnection);
}

void control() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    int n = 0, edges = 0;
    in >> cmd >> n;
    if (cmd == "bounce") in >> edges;
    std::string lineArg;
    const uint8_t wire = (in >> lineArg) ? lineByName(lineArg) : lines::CTS;
    std::string reply = "ok";
    auto* p = wire ? bench.port(n) : nullptr;
    if (cmd == "press" && p) p->set(wire, true);
    else if (cmd == "release" && p) p->set(wire, false);
    else if (cmd == "blip" && p) p->blip(1, wire);
    else if (cmd == "bounce" && p && edges > 0) {
      for (int i = 0; i < edges; ++i) {
        int bits = 0;
        p->getLines(bits);
        p->set(wire, !(bits & serial_linux::tiocmOf(wire)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    // Once the program has taken in the last change: the line's waiter has
    // passed it on, and the window's thread has handled what came before.
    else if (cmd == "settle" && p) {
      if (!p->seenByWaiter(60000)) reply = "not seen";
      if (qApp) onUiThread([] {});
    }
    else if (cmd == "hangup" && p) p->hangUp();
    else if (cmd == "unplug" && p) p->unplug(), pokeWatch();
    else if (cmd == "plug") {
      // A device put back is a new device; a line on the old one stays dead.
      std::lock_guard<std::mutex> g(bench.m);
      if (auto it = bench.ports.find(n); it != bench.ports.end()) bench.retired.push_back(std::move(it->second));
      bench.ports[n] = std::make_unique<sim::SimModemPort>();
      pokeWatch();
    }
    else if (cmd == "take") { std::lock_guard<std::mutex> g(bench.m); bench.taken.insert(n); }
    else if (cmd == "free") { std::lock_guard<std::mutex> g(bench.m); bench.taken.erase(n); }
    else if (cmd == "lines" && p) {
      const int o = p->outputs();
      reply = std::string("dtr=") + ((o & TIOCM_DTR) ? "1" : "0") + " rts=" + ((o & TIOCM_RTS) ? "1" : "0");
    } else if (cmd == "dump") {
      reply = "end";  // not started yet
      if (qApp) onUiThread([&] { reply = dump(); });
    }
    // Not blocking: the choice may end in an error report, which waits.
    else if (cmd == "choose" && qApp) QMetaObject::invokeMethod(qApp, [n] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* c = w->findChild<QComboBox*>("Combo1")) {
          c->setCurrentIndex(n);
          emit c->activated(n);
        }
    }, Qt::QueuedConnection);
    else reply = "?";
    std::printf("%s\n", reply.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

// With TASTLINK_SIM_ANNOUNCE set, says on stderr when the first window
// (main window or error report) is shown, in CLOCK_MONOTONIC nanoseconds:
// the benchmark's start-up figure.
class ShownAnnouncer : public QObject {
 public:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (!done_ && e->type() == QEvent::Show && o->isWidgetType() && static_cast<QWidget*>(o)->isWindow()) {
      done_ = true;
      timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      std::fprintf(stderr, "shown %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
      std::fflush(stderr);
    }
    return false;
  }

 private:
  bool done_ = false;
};

int main(int argc, char** argv) {
  auto numbers = [](const char* env) {
    std::vector<int> out;
    std::istringstream in(std::getenv(env) ? std::getenv(env) : "");
    for (std::string n; std::getline(in, n, ',');)
      if (!n.empty()) out.push_back(std::stoi(n));
    return out;
  };
  for (int n : numbers("TASTLINK_SIM_PORTS")) bench.ports[n] = std::make_unique<sim::SimModemPort>();
  // Held by another program from the start, before the probe runs.
  for (int n : numbers("TASTLINK_SIM_TAKEN")) bench.taken.insert(n);
  std::thread(control).detach();
  static ShownAnnouncer announcer;
  static keys_linux::InjectionNote keysNote;
  app::Platform p;
  p.makeLine = [] { return std::make_unique<SimDriver>(); };
  p.makeFiles = [] { return std::make_unique<SimFiles>(); };
  // Called first thing after the application exists, on its thread.
  p.makeKeys = [](bool pointer) {
    if (std::getenv("TASTLINK_SIM_ANNOUNCE")) qApp->installEventFilter(&announcer);
    return keys_linux::makeSystemInjector("/dev/uinput", &keysNote, pointer);
  };
  p.keysNote = [] { return std::pair(keysNote.text, keysNote.partial); };
  p.deviceOf = [](int com) { return "sim:COM" + std::to_string(com); };
  p.makeWatch = [] { return std::make_unique<SimWatch>(); };
  // Settings as the real program reads them; simulated ports have no
  // device paths, only numbers.
  desktop_linux::addSettingsHooks(p);
  p.keysUpNow = keys_linux::keysUpNow;
  p.runHelperIfAsked = keys_linux::runKeyWatcherIfAsked;
  return app::run(argc, argv, p);
}
