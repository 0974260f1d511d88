#include "keys/win32/keybd_injector.h"

#include <windows.h>

namespace tl::keys_win32 {

void KeybdEventInjector::send(const KeyStroke& k) {
  ::keybd_event(k.key->vk, k.scan, k.down ? 0 : KEYEVENTF_KEYUP, static_cast<ULONG_PTR>(k.extra));
}

}  // namespace tl::keys_win32
