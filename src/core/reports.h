// The German sentences the program's reports are made of, in one place.
// Each platform supplies what it knows: the port's label, a reason the user
// can act on, and the detail for whoever helps them (the failed call and
// the system's code), which always goes last, in brackets.
#pragma once

#include <string>
#include <string_view>

namespace tl::reports {

// "wird gerade von einem anderen Programm benutzt (flock: EAGAIN)."
std::string reason(const std::string& why, const std::string& detail);

// "Der Anschluss COM3 (/dev/ttyS2) lässt sich nicht öffnen: <reason>"
std::string cannotOpen(const std::string& label, const std::string& why, const std::string& detail);

// "Die Verbindung zu COM3 ist abgerissen: <reason>", with the question a
// vanished adapter raises when `maybeUnplugged`.
std::string lineLost(const std::string& label, const std::string& why, const std::string& detail,
                     bool maybeUnplugged);

// What a message repeats of the user's text: enough to find it, never so
// much that the message box grows with the file, nothing a box would not
// show. Cut at a character's start, so that UTF-8 stays whole.
std::string excerpt(std::string_view text);

// "Der Anschluss COM3 ist auf diesem Rechner nicht vorhanden."
std::string notPresent(int port);

}  // namespace tl::reports
