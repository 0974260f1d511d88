#include "core/reports.h"

namespace tl::reports {

std::string reason(const std::string& why, const std::string& detail) {
  return detail.empty() ? why + "." : why + " (" + detail + ").";
}

std::string cannotOpen(const std::string& label, const std::string& why, const std::string& detail) {
  return "Der Anschluss " + label + " lässt sich nicht öffnen: " + reason(why, detail);
}

std::string lineLost(const std::string& label, const std::string& why, const std::string& detail,
                     bool maybeUnplugged) {
  return "Die Verbindung zu " + label + " ist abgerissen: " + reason(why, detail) +
         (maybeUnplugged ? " Wurde der USB-Seriell-Adapter abgezogen?" : "");
}

std::string notPresent(int port) {
  return "Der Anschluss COM" + std::to_string(port) + " ist auf diesem Rechner nicht vorhanden.";
}

}  // namespace tl::reports
