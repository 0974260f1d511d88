#include "keys/keyboard.h"

#include <algorithm>

namespace tl {

const std::vector<KeyInfo>& keyTable() {
  static const std::vector<KeyInfo> table = [] {
    // name, status label, Windows VK, Linux KEY_*, X keysym, extended
    std::vector<KeyInfo> t = {
        {"Shift", "SHIFT", 0x10, 42, 0xffe1},         // VK_SHIFT, KEY_LEFTSHIFT, XK_Shift_L
        {"Ctrl", "STRG", 0x11, 29, 0xffe3},           // VK_CONTROL, KEY_LEFTCTRL
        {"Alt", "ALT", 0x12, 56, 0xffe9},             // VK_MENU, KEY_LEFTALT
        {"AltGr", "ALT GR", 0xa5, 100, 0xfe03, true}, // VK_RMENU, KEY_RIGHTALT, ISO_Level3_Shift
        {"Super", "WIN", 0x5b, 125, 0xffeb, true},    // VK_LWIN, KEY_LEFTMETA, XK_Super_L
        {"Space", "LEERTASTE", 0x20, 57, 0x20},
        {"Enter", "EINGABE", 0x0d, 28, 0xff0d},
        {"Tab", "TAB", 0x09, 15, 0xff09},
        {"Esc", "ESC", 0x1b, 1, 0xff1b},
    };
    // F1-F10 are KEY_F1.., F11/F12 came later, F13-F24 later still.
    static const char* const fNames[24] = {"F1",  "F2",  "F3",  "F4",  "F5",  "F6",  "F7",  "F8",
                                           "F9",  "F10", "F11", "F12", "F13", "F14", "F15", "F16",
                                           "F17", "F18", "F19", "F20", "F21", "F22", "F23", "F24"};
    for (int i = 0; i < 24; ++i) {
      const uint16_t code = i < 10 ? 59 + i : i < 12 ? 87 + (i - 10) : 183 + (i - 12);
      t.push_back({fNames[i], fNames[i], static_cast<uint8_t>(0x70 + i), code, 0xffbeu + i});
    }
    // Letters by their place on the keyboard (evdev codes are positions).
    static const char* const letters[26] = {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
                                            "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z"};
    static const uint16_t letterCodes[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                             49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};
    for (int i = 0; i < 26; ++i)
      t.push_back({letters[i], letters[i], static_cast<uint8_t>('A' + i), letterCodes[i], 0x61u + i});
    static const char* const digits[10] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    for (int i = 0; i < 10; ++i)
      t.push_back({digits[i], digits[i], static_cast<uint8_t>('0' + i), static_cast<uint16_t>(i == 0 ? 11 : 1 + i),
                   0x30u + i});
    return t;
  }();
  return table;
}

std::string keyNames() {
  return "Shift, Ctrl, Alt, AltGr, Super, Space, Enter, Tab, Esc, F1 bis F24, A bis Z, 0 bis 9";
}

const KeyInfo* keyByVk(uint8_t vk) {
  for (const KeyInfo& k : keyTable())
    if (k.vk == vk) return &k;
  return nullptr;
}

const KeyInfo* keyByName(std::string_view name) {
  for (const KeyInfo& k : keyTable()) {
    const std::string_view n = k.name;
    if (n.size() == name.size() &&
        std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) { return (a | 0x20) == (b | 0x20); }))
      return &k;
  }
  return nullptr;
}

void KeyInjector::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) {
  if (const KeyInfo* key = keyByVk(vk)) send({key, (flags & kKeyEventKeyUp) == 0, scan, extra});
}

bool Keyboard::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) {
  const KeyInfo* key = keyByVk(vk);
  if (!key) return true;
  const KeyStroke stroke{key, (flags & kKeyEventKeyUp) == 0, scan, extra};
  injector_.send(stroke);
  const bool accepted = injector_.accepted();
  auto it = std::find_if(down_.begin(), down_.end(), [&](const KeyStroke& s) { return s.key == key; });
  if (stroke.down && accepted && it == down_.end()) down_.push_back(stroke);
  // A refused key-up may have left the key down: it stays to be let up.
  if (!stroke.down && accepted && it != down_.end()) down_.erase(it);
  return accepted;
}

bool Keyboard::isDown(const KeyInfo* key) const {
  return std::any_of(down_.begin(), down_.end(), [&](const KeyStroke& s) { return s.key == key; });
}

std::vector<const KeyInfo*> Keyboard::held() const {
  std::vector<const KeyInfo*> keys;
  for (const KeyStroke& s : down_) keys.push_back(s.key);
  return keys;
}

void Keyboard::releaseAll() noexcept {
  // Newest first, as fingers would let go.
  while (!down_.empty()) {
    KeyStroke up = down_.back();
    down_.pop_back();
    up.down = false;
    try {
      injector_.send(up);
    } catch (...) {
      // Nothing more can be done for the key on a way out.
    }
  }
}

}  // namespace tl
