#include "keys/win32/keybd_injector.h"

#include <windows.h>

namespace tl::keys_win32 {

void KeybdEventInjector::send(const KeyStroke& k) {
  // Programs that read scan codes (games, remote desktops) need one; the
  // handler's own Shift call names its scan code itself.
  const BYTE scan = k.scan ? k.scan : static_cast<BYTE>(MapVirtualKeyW(k.key->vk, MAPVK_VK_TO_VSC));
  const DWORD flags = (k.down ? 0 : KEYEVENTF_KEYUP) | (k.key->extended ? KEYEVENTF_EXTENDEDKEY : 0);
  ::keybd_event(k.key->vk, scan, flags, static_cast<ULONG_PTR>(k.extra));
}

}  // namespace tl::keys_win32
