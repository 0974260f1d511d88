// Key injection on Linux: a uinput virtual keyboard where /dev/uinput can be
// opened (X11, Wayland and the console alike), else X11's XTest.
#pragma once

#include <memory>
#include <string>

#include "keys/shift_key.h"

namespace tl::keys {

// Both map the Windows virtual key the handlers speak (16, Shift) to the
// left Shift key; the scan code and extra information have no meaning here.
// On failure `whyNot` gives the reason in German and the failed call, and
// `failedErrno`, where given, its errno value.
std::unique_ptr<KeyInjector> makeUinputInjector(const std::string& devicePath, std::string& whyNot,
                                                int* failedErrno = nullptr);
std::unique_ptr<KeyInjector> makeXTestInjector(const char* display, std::string& whyNot);

// uinput first, then XTest; raises the program's Error, in German, saying
// what is missing when neither can be had.
std::unique_ptr<KeyInjector> makeSystemInjector(const std::string& uinputPath = "/dev/uinput");

}  // namespace tl::keys
