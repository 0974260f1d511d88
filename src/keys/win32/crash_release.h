// Windows releases nothing that keybd_event pressed when a process dies, so
// a crash while the button is held would leave Shift down for the whole
// desktop. This lets keys up on every way out that a process can catch: an
// unhandled exception (any thread), std::terminate and abort().
// TerminateProcess cannot be caught; nothing helps there.
#pragma once

#include <functional>

namespace tl::keys_win32 {

// `letKeysUp` must only send key-ups: it runs in a process that is dying,
// possibly on a thread other than the window's.
void letKeysUpOnCrash(std::function<void()> letKeysUp);

}  // namespace tl::keys_win32
