#include <cstdlib>

#include "keys/linux/injectors.h"
#include "window/runtime.h"

namespace tl::keys {

std::unique_ptr<KeyInjector> makeSystemInjector() {
  std::string uinputWhy, xWhy;
  if (auto k = makeUinputInjector("/dev/uinput", uinputWhy)) return k;
  if (std::getenv("DISPLAY")) {
    if (auto k = makeXTestInjector(nullptr, xWhy, true)) return k;
  } else {
    xWhy = "keine X-Anzeige (DISPLAY ist nicht gesetzt)";
  }
  throw Error(err::kKeyInjection,
              "Tastlink kann keine Tastendrücke senden.\n\n"
              "/dev/uinput lässt sich nicht öffnen (" + uinputWhy + "). Richten Sie die udev-Regel "
              "aus der Anleitung ein:\n"
              "  KERNEL==\"uinput\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\"\n"
              "und melden Sie sich neu an.\n\n"
              "Die Ausweichlösung über X11 geht auch nicht: " + xWhy + ".");
}

}  // namespace tl::keys
