// Windows releases nothing that keybd_event pressed when a process dies, so
// a crash while the button is held would leave Shift down for the whole
// desktop. This lets it up on every way out that a process can catch: an
// unhandled exception (any thread), std::terminate and abort().
// TerminateProcess cannot be caught; nothing helps there.
#pragma once

#include "keys/shift_key.h"

namespace tl::win {

// For the life of the process; `keys` must outlive every crash it covers.
void releaseShiftOnCrash(const ShiftKey& keys);

}  // namespace tl::win
