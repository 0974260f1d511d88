#pragma once
#include "keys/keyboard.h"
#include "keys/win32/crash_release.h"

namespace tl::keys_win32 {
// Keys through SendInput, with the virtual key, scan code and flags the
// handler's keybd_event call names, and mouse buttons as mouse input;
// unlike keybd_event it says whether Windows took them (it refuses input
// to an elevated window's desktop and on the secure desktop).
class SendInputInjector : public KeyInjector {
 public:
  explicit SendInputInjector(SendInputFn send = ::SendInput) : send_(send) {}
  void send(const KeyStroke& k) override;
  bool accepted() const override { return accepted_; }

 private:
  SendInputFn send_;
  bool accepted_ = true;
};
}  // namespace tl::keys_win32
