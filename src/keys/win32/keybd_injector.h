#pragma once
#include "keys/keyboard.h"

namespace tl::keys_win32 {
// user32's keybd_event, called with exactly the values the handler passes;
// mouse buttons through SendInput.
class KeybdEventInjector : public KeyInjector {
 public:
  void send(const KeyStroke& k) override;
};
}  // namespace tl::keys_win32
