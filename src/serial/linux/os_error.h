// What the serial layer makes of a system error: whether a tty simply has
// no modem lines, and the program's error number for a failed open. The
// German reasons themselves are core_linux's.
#pragma once
#include "core/linux/os_error.h"

namespace tl::serial_linux {
using core_linux::osCall;
using core_linux::osReason;
// Modem-line and exclusivity ioctls fail this way on ttys that lack them
// (ptys, some USB-serial drivers, old kernels).
bool noModemLines(int errnum);
// The program's error number for a failed open of a serial device.
int openErrorNumber(int errnum);
}  // namespace tl::serial_linux
