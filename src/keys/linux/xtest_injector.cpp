#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "keys/linux/injectors.h"

namespace tl::keys {

namespace {

class XTestInjector : public KeyInjector {
 public:
  XTestInjector(Display* dpy, KeyCode shift) : dpy_(dpy), shift_(shift) {}
  ~XTestInjector() override { XCloseDisplay(dpy_); }
  void keybd_event(uint8_t vk, uint8_t, uint32_t flags, uint32_t) override {
    if (vk != kVkShift) return;
    XTestFakeKeyEvent(dpy_, shift_, (flags & kKeyEventKeyUp) ? False : True, CurrentTime);
    // Unflushed, the event would sit in Xlib's buffer until something else
    // happened to flush it.
    XFlush(dpy_);
  }

 private:
  Display* dpy_;
  KeyCode shift_;
};

}  // namespace

std::unique_ptr<KeyInjector> makeXTestInjector(const char* display, std::string& whyNot) {
  Display* dpy = XOpenDisplay(display);
  if (!dpy) {
    whyNot = "keine X-Anzeige erreichbar";
    return nullptr;
  }
  int ev = 0, er = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(dpy, &ev, &er, &major, &minor)) {
    XCloseDisplay(dpy);
    whyNot = "der X-Server bietet die Erweiterung XTEST nicht an";
    return nullptr;
  }
  const KeyCode shift = XKeysymToKeycode(dpy, XK_Shift_L);
  if (shift == 0) {
    XCloseDisplay(dpy);
    whyNot = "die X-Tastaturbelegung hat keine Umschalttaste";
    return nullptr;
  }
  return std::make_unique<XTestInjector>(dpy, shift);
}

}  // namespace tl::keys
