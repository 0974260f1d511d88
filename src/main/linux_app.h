// The Linux program put together: Qt event loop, main window, serial line,
// probe and key injection, with every way out releasing Shift first.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "keys/keyboard.h"
#include "serial/comport.h"
#include "serial/mscomm.h"

namespace tl::app {

// The OS-facing pieces. The shipped program fills them with termios, the
// /dev resolver and uinput/XTest; a test build may put simulated ones in.
struct Platform {
  std::function<std::unique_ptr<LineDriver>()> makeLine;
  std::function<std::unique_ptr<comport::FileLayer>()> makeFiles;
  std::function<std::unique_ptr<KeyInjector>()> makeKeys;  // may raise Error
  std::function<std::string(int com)> deviceOf;           // for list tooltips
  // Lets a held key up from a signal handler on the way to a crash; must be
  // async-signal-safe.
  void (*keysUpNow)() noexcept = nullptr;
  // When this process was started as a helper of another (the key watcher),
  // runs it and returns its exit code; otherwise returns -1.
  int (*runHelperIfAsked)() = nullptr;
};

int run(int argc, char** argv, const Platform& platform);

}  // namespace tl::app
