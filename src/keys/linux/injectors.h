// Key injection on Linux: a uinput virtual keyboard where /dev/uinput can be
// opened (X11, Wayland and the console alike), else X11's XTest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "keys/keyboard.h"

namespace tl::keys_linux {

// Both send the key table's Linux codes (an input event code for uinput, a
// keysym for XTest). On failure `whyNot` gives the reason in German and the
// failed call, and `failedErrno`, where given, its errno value.
// `pointer`: the device can send mouse buttons and looks like a mouse.
std::unique_ptr<KeyInjector> makeUinputInjector(const std::string& devicePath, std::string& whyNot,
                                                int* failedErrno = nullptr, bool pointer = false);
// `watched`: a watcher process lets the key up should this one die while
// holding it (see xtest_injector.cpp).
std::unique_ptr<KeyInjector> makeXTestInjector(const char* display, std::string& whyNot, bool watched = false);

// uinput sends key positions, and the table's letters sit where a US
// layout has them: on a German one its Z would type y. Where the X server
// named by `display` (nullptr: DISPLAY) answers, its keymap tells the
// position of each letter in the user's layout; these are the letters
// whose position differs from the table's. None without an X server.
std::vector<std::pair<const KeyInfo*, uint16_t>> layoutLetterCodes(const char* display);

// What the user should know about the way keys are sent: set when uinput
// failed and XTest stands in. `partial`: the keys reach only some of the
// desktop's programs (a Wayland session), which the window must say.
struct InjectionNote {
  std::string text;
  bool partial = false;
};

// uinput first, then XTest (saying so in `note`); raises the program's
// Error, in German, saying what is missing when neither can be had.
// `pointer`: the device must also offer mouse buttons.
std::unique_ptr<KeyInjector> makeSystemInjector(const std::string& uinputPath = "/dev/uinput",
                                                InjectionNote* note = nullptr, bool pointer = false);

// What to do about uinput's errno `e`, fitting how Tastlink was installed
// (its udev rule and module list found below `root`).
std::string uinputAdvice(int e, const std::string& root = "/");

// Lets the key up at once, from a signal handler on the way to a crash:
// async-signal-safe, a write(2) to the device or to the watcher.
void uinputKeysUpNow() noexcept;
void xtestKeysUpNow() noexcept;
inline void keysUpNow() noexcept {
  uinputKeysUpNow();
  xtestKeysUpNow();
}

// In the XTest watcher process (this executable, started again by the
// program): runs the watcher and returns its exit code. Elsewhere -1.
int runKeyWatcherIfAsked();

}  // namespace tl::keys_linux
