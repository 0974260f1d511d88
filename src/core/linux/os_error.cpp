#include "core/linux/os_error.h"

#include <cerrno>
#include <cstring>

namespace tl::core_linux {

std::string osReason(int errnum) {
  switch (errnum) {
    case EACCES:
    case EPERM:
      return "keine Berechtigung";
    case EBUSY:
      return "wird gerade von einem anderen Programm benutzt";
    case EAGAIN:  // also EWOULDBLOCK
      return "das Gerät ist gerade nicht bereit";
    case ENOENT:
      return "nicht vorhanden";
    case ENXIO:
    case ENODEV:
      return "kein Gerät hinter dem Anschluss";
    case EIO:
      return "Ein-/Ausgabefehler, das Gerät antwortet nicht mehr";
    case ENOTTY:
      return "kein serieller Anschluss";
    case EINVAL:
      return "vom Gerät nicht unterstützt";
    case ETIMEDOUT:
      return "das Gerät antwortet nicht (Zeitüberschreitung)";
    case EMFILE:
    case ENFILE:
      return "zu viele offene Dateien";
    default:
      return "Systemfehler " + std::to_string(errnum);
  }
}

std::string osCall(const char* call, int errnum) {
  // strerrorname_np gives the symbol, the same in every locale.
  const char* name = strerrorname_np(errnum);
  return std::string(call) + ": " + (name ? std::string(name) : "Fehler " + std::to_string(errnum));
}

}  // namespace tl::core_linux
