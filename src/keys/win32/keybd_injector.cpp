#include "keys/win32/keybd_injector.h"

namespace tl::keys_win32 {

namespace {

INPUT buttonInput(const KeyStroke& k) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dwExtraInfo = static_cast<ULONG_PTR>(k.extra);
  switch (k.key->vk) {
    case VK_LBUTTON:
      in.mi.dwFlags = k.down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
      break;
    case VK_RBUTTON:
      in.mi.dwFlags = k.down ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
      break;
    case VK_MBUTTON:
      in.mi.dwFlags = k.down ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP;
      break;
    default:  // the side buttons, back and forward
      in.mi.dwFlags = k.down ? MOUSEEVENTF_XDOWN : MOUSEEVENTF_XUP;
      in.mi.mouseData = k.key->vk == VK_XBUTTON1 ? XBUTTON1 : XBUTTON2;
  }
  return in;
}

}  // namespace

void SendInputInjector::send(const KeyStroke& k) {
  if (k.key->kind == KeyKind::Button) {
    accepted_ = sendKeyInput(buttonInput(k), send_) == 1;
    return;
  }
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
