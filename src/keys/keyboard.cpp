#include "keys/keyboard.h"

#include <algorithm>

namespace tl {

const std::vector<KeyInfo>& keyTable() {
  // name, status label, Windows VK_SHIFT, KEY_LEFTSHIFT, XK_Shift_L
  static const std::vector<KeyInfo> table = {
      {"Shift", "SHIFT", 16, 42, 0xffe1},
  };
  return table;
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

void Keyboard::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) {
  const KeyInfo* key = keyByVk(vk);
  if (!key) return;
  const KeyStroke stroke{key, (flags & kKeyEventKeyUp) == 0, scan, extra};
  injector_.send(stroke);
  auto it = std::find_if(down_.begin(), down_.end(), [&](const KeyStroke& s) { return s.key == key; });
  if (stroke.down && it == down_.end()) down_.push_back(stroke);
  if (!stroke.down && it != down_.end()) down_.erase(it);
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
