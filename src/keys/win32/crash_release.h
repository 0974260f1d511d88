// Windows releases nothing that the program pressed when a process dies, so
// a crash while the button is held would leave Shift down for the whole
// desktop. Every key event goes through here: it keeps its own record of
// what is held, in static storage and under its own lock, so that the
// way out (an unhandled exception on any thread, std::terminate, abort())
// can let those keys up without touching objects that may be gone, and
// shuts the door first: once it runs, nothing presses a key again.
// TerminateProcess cannot be caught; nothing helps there.
#pragma once

#include <windows.h>

namespace tl::keys_win32 {

using SendInputFn = UINT(WINAPI*)(UINT count, LPINPUT inputs, int size);

// Sends one keyboard or mouse-button input through `send` (SendInput, or a test's stand-in)
// and keeps the record of held keys; returns how many inputs Windows took
// (0: refused, or the process is dying and nothing is sent any more).
UINT sendKeyInput(const INPUT& input, SendInputFn send);

// Installs the ways out that let held keys up.
void letKeysUpOnCrash();

// Whether nothing is sent any more (a way out has run).
bool keysShut();

}  // namespace tl::keys_win32
