#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "keys/linux/injectors.h"
#include "core/runtime.h"

namespace tl::keys_linux {

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Whether the rule or the module list was installed with Tastlink (the
// package, or a build installed under /usr/local), or put in place by hand.
bool installed(const std::string& root, const char* dir, const char* name) {
  for (const char* prefix : {"usr/lib/", "usr/local/lib/", "lib/", "etc/"})
    if (exists(root + prefix + dir + "/" + name)) return true;
  return false;
}

}  // namespace

std::string uinputAdvice(int e, const std::string& root) {
  switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "Das Kernel-Modul uinput ist nicht geladen. Laden Sie es mit\n"
             "  sudo modprobe uinput\n" +
             std::string(installed(root, "modules-load.d", "tastlink.conf")
                             ? "(Ab dem nächsten Systemstart lädt es Tastlinks Eintrag in modules-load.d selbst.)"
                             : "(bei jedem Start: eine Zeile „uinput“ in /etc/modules-load.d/uinput.conf).");
    case EACCES:
    case EPERM:
      if (installed(root, "udev/rules.d", "60-tastlink-uinput.rules"))
        return "Tastlinks udev-Regel ist installiert, gilt aber nicht für diese Sitzung: Sie gilt nur für "
               "die Sitzung am Rechner selbst, nicht über Fernzugriff oder SSH. Ist es die Sitzung am "
               "Rechner, wurde die Regel noch nicht angewandt:\n"
               "  sudo udevadm trigger";
      return "Richten Sie die udev-Regel aus der Anleitung ein, als Datei\n"
             "/etc/udev/rules.d/60-tastlink-uinput.rules mit der Zeile\n"
             "  KERNEL==\"uinput\", SUBSYSTEM==\"misc\", OPTIONS+=\"static_node=uinput\", TAG+=\"uaccess\"\n"
             "dann: sudo udevadm control --reload && sudo udevadm trigger";
    default:
      return "";
  }
}

std::unique_ptr<KeyInjector> makeSystemInjector(const std::string& uinputPath, InjectionNote* note, bool pointer) {
  std::string uinputWhy, xWhy;
  int uinputErrno = 0;
  if (auto k = makeUinputInjector(uinputPath, uinputWhy, &uinputErrno, pointer)) return k;
  std::string advice = uinputAdvice(uinputErrno);
  if (!advice.empty()) advice = " " + advice;
  if (std::getenv("DISPLAY")) {
    if (auto k = makeXTestInjector(nullptr, xWhy, true)) {
      if (note) {
        // XTest reaches the X server's programs only: on Wayland that is
        // the few under XWayland (this window among them, so that trying
        // it here would look fine).
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        note->partial = wayland && *wayland;
        note->text = std::string(note->partial
                                     ? "Tastlink sendet die Tasten über X11 (XTest): In dieser Wayland-Sitzung "
                                       "erreichen sie nur X11-Programme (XWayland), nicht die übrigen Programme."
                                     : "Tastlink sendet die Tasten über X11 (XTest), an X11-Programme.") +
                     "\n\n" + uinputPath + ": " + uinputWhy + "." + advice;
      }
      return k;
    }
  } else {
    xWhy = "keine X-Anzeige (DISPLAY ist nicht gesetzt)";
  }
  throw Error(err::kKeyInjection,
              "Tastlink kann keine Tastendrücke senden.\n\n" + uinputPath + ": " +
                  uinputWhy + "." + advice + "\n\nDie Ausweichlösung über X11 geht auch nicht: " + xWhy + ".");
}

}  // namespace tl::keys_linux
