#include "keys/win32/keybd_injector.h"

#include <windows.h>

namespace tl::win {

void KeybdEventInjector::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) {
  ::keybd_event(vk, scan, flags, static_cast<ULONG_PTR>(extra));
}

}  // namespace tl::win
