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

std::string excerpt(std::string_view text) {
  constexpr size_t kMax = 60;
  std::string s;
  for (char c : text) s += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  if (s.size() <= kMax) return s;
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut) + "\u2026";
}

}  // namespace tl::reports
