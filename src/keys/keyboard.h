// src/keys is key injection: the key table and what the program holds down
// (here), and one injector per system: linux/ (uinput, else XTest with its
// watcher) and win32/ (keybd_event, and letting keys up on a crash).
//
// Keys: what the program sends and what it holds. Portable: no OS headers.
// The handlers speak the platform call they always spoke, keybd_event with
// a virtual-key code; below that, a key is one row of one table, and each
// platform's injector turns a row into its own code. Knowing which keys it
// holds down is what lets the program promise that none stays stuck.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tl {

constexpr uint8_t kVkShift = 16;
constexpr uint32_t kKeyEventKeyUp = 2;

// One key the program can send, with its code on every platform.
struct KeyInfo {
  const char* name;   // as settings name it: "Shift"
  const char* label;  // as the status text names it: "SHIFT"
  uint8_t vk;         // Windows virtual-key code
  uint16_t evdev;     // Linux input event code (linux/input-event-codes.h)
  uint32_t keysym;    // X11 keysym, for XTest
  bool extended = false;  // Windows: sent with KEYEVENTF_EXTENDEDKEY
};

// The keys the program knows, in one place.
const std::vector<KeyInfo>& keyTable();
const KeyInfo* keyByVk(uint8_t vk);
// By settings name, in any case: "shift", "F5", "a".
const KeyInfo* keyByName(std::string_view name);
// The names keyByName() knows, for telling what is allowed.
std::string keyNames();

// A key going down or up, with the two values the Windows call also takes;
// other platforms have no use for them.
struct KeyStroke {
  const KeyInfo* key;
  bool down;
  uint8_t scan = 0;
  uint32_t extra = 0;
};

class KeyInjector {
 public:
  virtual ~KeyInjector() = default;
  virtual void send(const KeyStroke& stroke) = 0;
  // Whether the system took the last stroke sent; where it cannot say, it
  // is taken to have.
  virtual bool accepted() const { return true; }
  // The Windows call shape: a virtual key the table does not know is
  // dropped, a flag 2 (KEYEVENTF_KEYUP) lets the key up.
  void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra);
};

// The injector as the handlers use it, remembering which keys are down.
class Keyboard {
 public:
  explicit Keyboard(KeyInjector& injector) : injector_(injector) {}
  // False when the system refused the stroke: a refused key-down holds
  // nothing.
  bool keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra);
  // Lets every key up that the last events left down.
  void releaseAll() noexcept;
  bool anyDown() const { return !down_.empty(); }
  bool isDown(const KeyInfo* key) const;
  // The keys down, oldest first.
  std::vector<const KeyInfo*> held() const;

 private:
  KeyInjector& injector_;
  std::vector<KeyStroke> down_;  // the key-down that left each key down
};

}  // namespace tl
