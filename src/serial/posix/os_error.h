#pragma once
#include <string>

namespace tl::posix {
// A German phrase for an errno value, as a user can act on it.
std::string osReason(int errnum);
// The program's error number for a failed open of a serial device.
int openErrorNumber(int errnum);
}  // namespace tl::posix
