// Fakes for every seam of the handlers, sharing one log so that tests can
// check the order of what happened across window, line, files and keys.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "keys/keyboard.h"
#include "serial/comport.h"
#include "serial/mscomm.h"
#include "window/form1.h"
#include "core/runtime.h"

namespace tl::fake {

using Log = std::vector<std::string>;

class Form : public FormControls {
 public:
  explicit Form(Log& log) : log_(log) {}
  void setLabel1Caption(const std::string& t) override {
    label1 = t;
    log_.push_back("label:" + t);
  }
  // A shortened text is logged with the whole one a screen reader hears.
  void setLabel1Shortened(const std::string& shown, const std::string& whole) override {
    setLabel1Caption(shown == whole ? shown : shown + " (" + whole + ")");
  }
  // Characters (UTF-8 sequences) the status line holds; 0: any text.
  size_t label1Room = 0;
  bool label1Fits(const std::string& t) const override {
    return !label1Room || size_t(std::count_if(t.begin(), t.end(), [](char c) { return (c & 0xc0) != 0x80; })) <= label1Room;
  }
  void comboAddItem(const std::string& t) override {
    items.push_back(t);
    log_.push_back("add:" + t);
  }
  int comboListCount() const override { return static_cast<int>(items.size()); }
  std::string comboItem(int i) const override { return items.at(i); }
  void comboShowSelection(int i) override {
    selected = i;
    log_.push_back("select:" + std::to_string(i));
  }
  std::string comboText() const override { return selected >= 0 ? items.at(selected) : std::string(); }
  void text1SetFocus() override { log_.push_back("focus:Text1"); }
  void comboInsertItem(int i, const std::string& t) override {
    items.insert(items.begin() + i, t);
    if (selected >= i) ++selected;
    log_.push_back("insert:" + t);
  }
  void comboRemoveItem(int i) override {
    items.erase(items.begin() + i);
    if (selected == i) selected = -1;
    else if (selected > i) --selected;
    log_.push_back("remove:" + std::to_string(i));
  }
  void showNote(const std::string& t) override { log_.push_back("note:" + t); }
  // Timers run when the test says the time has come.
  void after(int ms, std::function<void()> task) override { timers.push_back({ms, std::move(task)}); }
  std::vector<std::pair<int, std::function<void()>>> timers;
  void runTimers() {
    auto due = std::move(timers);
    timers.clear();
    for (auto& t : due) t.second();
  }

  std::string label1;
  std::vector<std::string> items;
  int selected = -1;

 private:
  Log& log_;
};

// Ports listed in `openable` open; those in `failing` exist but refuse
// with the given error; all others are absent.
class Files : public comport::FileLayer {
 public:
  explicit Files(Log& log) : log_(log) {}
  int16_t FreeFile() override {
    int16_t n = 1;
    while (open.count(n)) ++n;
    return n;
  }
  void Open(const std::string& name, int16_t fileNumber) override {
    log_.push_back("fopen:" + name);
    tried.push_back(name);
    const int port = std::stoi(name.substr(3));
    if (openable.count(port)) {
      if (!open.empty()) maxOpenAtOnce = 2;  // a probe left open
      open.insert(fileNumber);
      return;
    }
    auto f = failing.find(port);
    if (f != failing.end()) throw f->second;
    throw Error(err::kDeviceUnavailable, "Gerät nicht verfügbar");
  }
  void Close(int16_t fileNumber) override {
    log_.push_back("fclose:" + std::to_string(fileNumber));
    if (!open.erase(fileNumber)) throw Error(err::kBadFileNumber, "Dateinummer falsch");
  }

  std::set<int> openable;
  std::map<int, Error> failing;
  std::set<int16_t> open;
  std::vector<std::string> tried;
  int maxOpenAtOnce = 1;

 private:
  Log& log_;
};

class Line;

class LineDriverFake : public LineDriver {
 public:
  explicit LineDriverFake(Log& log) : log_(log) {}
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) override;

  std::set<int> refuse;  // ports whose open fails
  bool cts = false;      // the button, as the open line sees it
  uint8_t others = 0;    // the other lines' levels
  uint8_t watched = 0;   // what the last open asked to watch
  LineNotify notify;     // of the line opened last
  int openLines = 0;

 private:
  Log& log_;
};

class Line : public OpenLine {
 public:
  Line(LineDriverFake& d, Log& log) : d_(d), log_(log) { ++d_.openLines; }
  ~Line() override {
    --d_.openLines;
    log_.push_back("close");
  }
  uint8_t levels() override { return static_cast<uint8_t>(d_.others | (d_.cts ? lines::CTS : 0)); }

 private:
  LineDriverFake& d_;
  Log& log_;
};

inline std::unique_ptr<OpenLine> LineDriverFake::open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify n) {
  watched = watch;
  log_.push_back("open:" + std::to_string(port) + (dtr ? " dtr" : "") + (rts ? " rts" : ""));
  if (refuse.count(port))
    throw Error(err::kPathAccess, "Der Anschluss COM" + std::to_string(port) + " ist belegt.");
  notify = std::move(n);
  return std::make_unique<Line>(*this, log_);
}

class Keys : public KeyInjector {
 public:
  explicit Keys(Log& log) : log_(log) {}
  // Logged in the Windows call's shape, as the handler made it.
  void send(const KeyStroke& k) override {
    log_.push_back("key:" + std::to_string(k.key->vk) + "," + std::to_string(k.scan) + "," +
                   std::to_string(k.down ? 0 : kKeyEventKeyUp) + "," + std::to_string(k.extra));
  }
  bool accepted() const override { return !refuse; }
  // The system refuses every stroke (Windows: an elevated window in front).
  bool refuse = false;

 private:
  Log& log_;
};

// The window thread's queue: tasks run when the test pumps them.
struct Queue {
  std::deque<std::function<void()>> tasks;
  Poster poster() {
    return [this](std::function<void()> t) { tasks.push_back(std::move(t)); };
  }
  size_t pump() {
    size_t n = 0;
    while (!tasks.empty()) {
      auto t = std::move(tasks.front());
      tasks.pop_front();
      t();
      ++n;
    }
    return n;
  }
};

// Everything wired together as the program does it.
struct World {
  Log log;
  Form form{log};
  Files files{log};
  LineDriverFake driver{log};
  Keys keys{log};
  Keyboard shift{keys};
  Queue queue;
  MSComm line{driver, queue.poster()};
  Form1 form1{form, line, files, shift};

  void cts(bool on) {
    driver.cts = on;
    LineEvent ev;
    ev.levels = static_cast<uint8_t>(driver.others | (on ? lines::CTS : 0));
    driver.notify(ev);
  }
  // Any input line: `l` is a lines:: bit.
  void set(uint8_t l, bool on) {
    if (l == lines::CTS) driver.cts = on;
    else driver.others = static_cast<uint8_t>(on ? driver.others | l : driver.others & ~l);
    LineEvent ev;
    ev.line = l;
    ev.levels = static_cast<uint8_t>(driver.others | (driver.cts ? lines::CTS : 0));
    driver.notify(ev);
  }
  void fail(std::string why) {
    LineEvent ev;
    ev.kind = LineEvent::Kind::Failure;
    ev.number = err::kLineFailed;
    ev.description = std::move(why);
    driver.notify(ev);
  }
  void unplug() {
    LineEvent ev;
    ev.kind = LineEvent::Kind::Unplugged;
    driver.notify(ev);
  }
  std::vector<std::string> since(size_t mark) const { return {log.begin() + mark, log.end()}; }
};

}  // namespace tl::fake
