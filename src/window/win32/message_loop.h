// The window thread's message loop. The serial line has a thread of its own
// that posts to the window, so this loop waits for messages only, and the
// window's modal loops (moving, sizing, menus) hold up nothing.
#pragma once

#include <windows.h>

#include <functional>

namespace tl::window_win32 {

// Runs the loop until WM_QUIT or the end of `dialog`, the main window,
// which gets Tab and arrow-key handling; so does the note `note` returns
// while there is one (Enter and Esc close it).
int runMessageLoop(HWND dialog, const std::function<HWND()>& note = {});

}  // namespace tl::window_win32
