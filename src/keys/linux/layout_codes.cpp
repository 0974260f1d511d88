#include <X11/Xlib.h>

#include "keys/linux/injectors.h"

namespace tl::keys_linux {

std::vector<std::pair<const KeyInfo*, uint16_t>> layoutLetterCodes(const char* display) {
  std::vector<std::pair<const KeyInfo*, uint16_t>> moved;
  Display* dpy = XOpenDisplay(display);
  if (!dpy) return moved;
  for (const KeyInfo& k : keyTable()) {
    if (k.name[0] < 'A' || k.name[0] > 'Z' || k.name[1] != '\0') continue;
    // X servers on evdev (Xorg's libinput and evdev drivers, XWayland)
    // number their keys as the input layer's code plus 8.
    const KeyCode code = XKeysymToKeycode(dpy, k.keysym);
    if (code > 8 && code - 8 != k.evdev) moved.emplace_back(&k, static_cast<uint16_t>(code - 8));
  }
  XCloseDisplay(dpy);
  return moved;
}

}  // namespace tl::keys_linux
