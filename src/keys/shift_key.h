// Key injection as the handlers see it: the platform's keybd_event, plus the
// one fact the program keeps so that it never leaves Shift stuck down.
#pragma once

#include <cstdint>

namespace tl {

constexpr uint8_t kVkShift = 16;
constexpr uint32_t kKeyEventKeyUp = 2;

class KeyInjector {
 public:
  virtual ~KeyInjector() = default;
  virtual void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) = 0;
};

class ShiftKey {
 public:
  explicit ShiftKey(KeyInjector& injector) : injector_(injector) {}
  void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra);
  // Sends one key-up if the last Shift event sent was a key-down.
  void releaseIfDown() noexcept;
  bool down() const { return down_; }

 private:
  KeyInjector& injector_;
  bool down_ = false;
};

}  // namespace tl
