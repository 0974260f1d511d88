#include "keys/shift_key.h"

namespace tl {

void ShiftKey::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) {
  injector_.keybd_event(vk, scan, flags, extra);
  if (vk == kVkShift) down_ = (flags & kKeyEventKeyUp) == 0;
}

void ShiftKey::releaseIfDown() noexcept {
  if (!down_) return;
  down_ = false;
  try {
    injector_.keybd_event(kVkShift, 1, kKeyEventKeyUp, 0);
  } catch (...) {
    // Nothing more can be done for the key on a way out.
  }
}

}  // namespace tl
