// Whether a desktop session is there to show the window on. Qt ends the
// process with an English abort when its platform cannot connect; this says
// why in German first, so that the program can end plainly instead.
#pragma once

#include <string>

namespace tl::desktop_linux {

// Empty when the desktop answers (or Qt was told to use none), else one
// German sentence saying what is missing.
std::string desktopUnreachable();

}  // namespace tl::desktop_linux
