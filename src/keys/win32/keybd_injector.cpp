#include "keys/win32/keybd_injector.h"

namespace tl::keys_win32 {

void SendInputInjector::send(const KeyStroke& k) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = k.key->vk;
  // Programs that read scan codes (games, remote desktops) need one; the
  // handler's own Shift call names its scan code itself.
  in.ki.wScan = k.scan ? k.scan : static_cast<WORD>(MapVirtualKeyW(k.key->vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = (k.down ? 0 : KEYEVENTF_KEYUP) | (k.key->extended ? KEYEVENTF_EXTENDEDKEY : 0);
  in.ki.dwExtraInfo = static_cast<ULONG_PTR>(k.extra);
  accepted_ = sendKeyInput(in, send_) == 1;
}

}  // namespace tl::keys_win32
