#include "serial/win32/win_error.h"

#include <cstdio>

#include "core/reports.h"
#include "core/runtime.h"

namespace tl::serial_win32 {

namespace {

struct Reason {
  DWORD code;
  const char* text;
};

// The reasons users meet with COM ports. A port another program holds
// answers ERROR_ACCESS_DENIED on Windows, not a sharing violation, so both
// say "in use"; 995 is what a wait reports when the driver cancels it,
// typically because an adapter was pulled.
constexpr Reason kReasons[] = {
    {ERROR_ACCESS_DENIED, "wird gerade von einem anderen Programm benutzt, oder der Zugriff ist gesperrt"},
    {ERROR_SHARING_VIOLATION, "wird gerade von einem anderen Programm benutzt"},
    {ERROR_FILE_NOT_FOUND, "nicht vorhanden"},
    {ERROR_PATH_NOT_FOUND, "nicht vorhanden"},
    {kNoSuchDevice, "kein Gerät hinter dem Anschluss"},
    {ERROR_DEV_NOT_EXIST, "kein Gerät hinter dem Anschluss"},
    {ERROR_GEN_FAILURE, "das Gerät ist nicht mehr angeschlossen"},
    {ERROR_DEVICE_NOT_CONNECTED, "das Gerät ist nicht mehr angeschlossen"},
    {ERROR_BAD_COMMAND, "das Gerät ist nicht mehr angeschlossen"},
    {ERROR_IO_DEVICE, "Ein-/Ausgabefehler am Gerät"},
    {ERROR_OPERATION_ABORTED, "der Treiber hat den Vorgang abgebrochen"},
    {ERROR_NOT_READY, "das Gerät ist nicht bereit"},
    {ERROR_INVALID_HANDLE, "das Gerät ist kein serieller Anschluss oder nicht mehr erreichbar"},
    {ERROR_INVALID_FUNCTION, "das Gerät ist kein serieller Anschluss"},
    {ERROR_SEM_TIMEOUT, "das Gerät antwortet nicht (Zeitüberschreitung)"},
    {WAIT_TIMEOUT, "das Gerät antwortet nicht (Zeitüberschreitung)"},
};

}  // namespace

std::string osReason(DWORD code) {
  for (const Reason& r : kReasons)
    if (r.code == code) return r.text;
  return "unerwarteter Fehler des Betriebssystems";
}

std::string callDetail(const CallFailure& f) { return std::string(f.call) + ": Fehler " + std::to_string(f.code); }

std::string reasonWithCall(const CallFailure& f) { return osReason(f.code) + " (" + callDetail(f) + ")"; }

int openErrorNumber(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case kNoSuchDevice:
    case ERROR_DEV_NOT_EXIST:
      return err::kDeviceUnavailable;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return err::kPathAccess;
    default:
      return err::kIoError;
  }
}

std::string openFailure(int port, const CallFailure& f) {
  return reports::cannotOpen("COM" + std::to_string(port), osReason(f.code), callDetail(f));
}

std::string probeFailure(const CallFailure& f) { return reports::reason(osReason(f.code), callDetail(f)); }

void logLine(const std::string& text) {
  const std::string line = "Tastlink: " + text + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  OutputDebugStringA(line.c_str());
}

}  // namespace tl::serial_win32
