#pragma once
#include <windows.h>

#include <string>

namespace tl::serial_win32 {

// ERROR_NO_SUCH_DEVICE, which not every SDK header names: a COM name with no
// device behind it.
constexpr DWORD kNoSuchDevice = 433;

// A Win32 call that failed and the error it left.
struct CallFailure {
  const char* call = nullptr;
  DWORD code = ERROR_SUCCESS;
  explicit operator bool() const { return call != nullptr; }
};

// A German phrase for a Win32 error code, as a user can act on it; the code
// itself is left to the bracket that names the call.
std::string osReason(DWORD code);
// "CreateFile: Fehler 5": the bracketed detail after a reason.
std::string callDetail(const CallFailure& f);
// "wird gerade von einem anderen Programm benutzt (CreateFile: Fehler 5)"
std::string reasonWithCall(const CallFailure& f);
// The program's error number for a failed open of a COM port.
int openErrorNumber(DWORD code);
// "Der Anschluss COM3 lässt sich nicht öffnen: … (CreateFile: Fehler 5)."
std::string openFailure(int port, const CallFailure& f);
// The same for the probe, under its report's "Vorhanden, aber nicht zu
// öffnen: COMn: ", which says the rest.
std::string probeFailure(const CallFailure& f);

// A line for whoever reads the program's log: stderr where there is one,
// and the debugger's output, which tools like DebugView show.
void logLine(const std::string& text);

}  // namespace tl::serial_win32
