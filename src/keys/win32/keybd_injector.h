#pragma once
#include "keys/shift_key.h"

namespace tl::win {
// user32's keybd_event, called with exactly the values the handler passes.
class KeybdEventInjector : public KeyInjector {
 public:
  void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) override;
};
}  // namespace tl::win
