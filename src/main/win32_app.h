// The Windows program put together: the window's message loop, main
// window, serial line, probe and key injection, under the shared start-up
// and exit policy.
#pragma once

#include <windows.h>

#include "app/platform.h"

namespace tl::app {

int runWin32(HINSTANCE instance, int showCommand, const Platform& platform);

}  // namespace tl::app
