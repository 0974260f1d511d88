#include "serial/posix/os_error.h"

#include <cerrno>
#include <cstring>

#include "window/runtime.h"

namespace tl::posix {

std::string osReason(int errnum) {
  switch (errnum) {
    case EACCES:
    case EPERM:
      return "keine Berechtigung (der Benutzer muss zur Gruppe \"dialout\" gehören; danach neu anmelden)";
    case EBUSY:
    case EWOULDBLOCK:
      return "wird gerade von einem anderen Programm benutzt";
    case ENOENT:
      return "Gerät nicht vorhanden";
    case ENXIO:
    case ENODEV:
      return "kein Gerät hinter dem Anschluss";
    case EIO:
      return "Ein-/Ausgabefehler";
    default:
      return "Systemfehler " + std::to_string(errnum);
  }
}

int openErrorNumber(int errnum) {
  switch (errnum) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return err::kDeviceUnavailable;
    case EACCES:
    case EPERM:
      return err::kPermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return err::kPathAccess;
    default:
      return err::kIoError;
  }
}

}  // namespace tl::posix
