#include "serial/win32/win_error.h"

#include "window/runtime.h"

namespace tl::win {

// ERROR_NO_SUCH_DEVICE, which not every SDK header names: a COM name with no
// device behind it.
constexpr DWORD kNoSuchDevice = 433;

std::string osReason(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "wird gerade von einem anderen Programm benutzt";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "nicht vorhanden";
    case kNoSuchDevice:
    case ERROR_DEV_NOT_EXIST:
      return "kein Gerät hinter dem Anschluss";
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
      return "das Gerät antwortet nicht (Zeitüberschreitung)";
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
      return "das Gerät ist nicht mehr angeschlossen";
    default:
      return "Systemfehler " + std::to_string(code);
  }
}

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

std::string openFailure(int port, const char* call, DWORD code) {
  return "Der Anschluss COM" + std::to_string(port) + " lässt sich nicht öffnen: " + osReason(code) + " (" + call +
         ": Fehler " + std::to_string(code) + ").";
}

}  // namespace tl::win
