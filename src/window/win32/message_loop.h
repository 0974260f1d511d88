// The window thread's message loop. The serial line has a thread of its own
// that posts to the window, so this loop waits for messages only, and the
// window's modal loops (moving, sizing, menus) hold up nothing.
#pragma once

#include <windows.h>

namespace tl::window_win32 {

// Runs the loop until WM_QUIT; `dialog` gets Tab and arrow-key handling.
int runMessageLoop(HWND dialog);

}  // namespace tl::window_win32
