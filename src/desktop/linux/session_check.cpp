#include "desktop/linux/session_check.h"

#include <X11/Xlib.h>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tl::desktop_linux {

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool waylandAnswers(const std::string& display) {
  const std::string path = display[0] == '/' ? display : env("XDG_RUNTIME_DIR") + "/" + display;
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool xAnswers() {
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy) XCloseDisplay(dpy);
  return dpy != nullptr;
}

}  // namespace

std::string desktopUnreachable() {
  const std::string platform = env("QT_QPA_PLATFORM");
  // offscreen, vnc, eglfs and the like need no desktop session.
  if (!platform.empty() && platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0) return {};
  const std::string wayland = env("WAYLAND_DISPLAY"), x = env("DISPLAY");
  if (wayland.empty() && x.empty())
    return "Keine grafische Oberfläche gefunden: weder DISPLAY noch WAYLAND_DISPLAY ist gesetzt.";
  if (!wayland.empty() && waylandAnswers(wayland)) return {};
  if (!x.empty() && xAnswers()) return {};
  return "Die grafische Oberfläche antwortet nicht (" +
         (x.empty() ? "WAYLAND_DISPLAY=" + wayland : "DISPLAY=" + x) + ").";
}

}  // namespace tl::desktop_linux
