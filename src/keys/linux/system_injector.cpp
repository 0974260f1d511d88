#include <cerrno>
#include <cstdlib>

#include "keys/linux/injectors.h"
#include "core/runtime.h"

namespace tl::keys_linux {

namespace {

// What to do about uinput depends on why it failed: a missing node means
// the module is not loaded, and a udev rule cannot help with that.
std::string uinputAdvice(int e) {
  switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "Das Kernel-Modul uinput ist nicht geladen. Laden Sie es mit\n"
             "  sudo modprobe uinput\n"
             "(bei jedem Start: eine Zeile \"uinput\" in /etc/modules-load.d/uinput.conf).";
    case EACCES:
    case EPERM:
      return "Richten Sie die udev-Regel aus der Anleitung ein:\n"
             "  KERNEL==\"uinput\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\"\n"
             "und melden Sie sich neu an.";
    default:
      return "";
  }
}

}  // namespace

std::unique_ptr<KeyInjector> makeSystemInjector(const std::string& uinputPath, bool pointer) {
  std::string uinputWhy, xWhy;
  int uinputErrno = 0;
  if (auto k = makeUinputInjector(uinputPath, uinputWhy, &uinputErrno, pointer)) return k;
  if (std::getenv("DISPLAY")) {
    if (auto k = makeXTestInjector(nullptr, xWhy, true)) return k;
  } else {
    xWhy = "keine X-Anzeige (DISPLAY ist nicht gesetzt)";
  }
  std::string advice = uinputAdvice(uinputErrno);
  if (!advice.empty()) advice = " " + advice;
  throw Error(err::kKeyInjection,
              "Tastlink kann keine Tastendrücke senden.\n\n" + uinputPath + ": " +
                  uinputWhy + "." + advice + "\n\nDie Ausweichlösung über X11 geht auch nicht: " + xWhy + ".");
}

}  // namespace tl::keys_linux
