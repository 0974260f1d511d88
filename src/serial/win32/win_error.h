#pragma once
#include <windows.h>

#include <string>

namespace tl::win {
// A German phrase for a Win32 error code, as a user can act on it.
std::string osReason(DWORD code);
// The program's error number for a failed open of a COM port.
int openErrorNumber(DWORD code);
// "Der Anschluss COM3 lässt sich nicht öffnen: … (CreateFile: Fehler 5)."
std::string openFailure(int port, const char* call, DWORD code);
}  // namespace tl::win
