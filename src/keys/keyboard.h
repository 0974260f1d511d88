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

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tl {

constexpr uint8_t kVkShift = 16;
constexpr uint32_t kKeyEventKeyUp = 2;

// Modifiers may stand before another key of a combination; mouse buttons
// and media keys stand alone. A media key has no meaningful hold: it is
// pressed and let go at once.
enum class KeyKind : uint8_t { Key, Modifier, Button, Media };

// One key (or mouse button) the program can send, with its code on every
// platform.
struct KeyInfo {
  const char* name;   // as settings name it: "Shift"
  const char* label;  // as the status text names it: "SHIFT"
  uint8_t vk;         // Windows virtual-key code (VK_LBUTTON.. for buttons)
  uint16_t evdev;     // Linux input event code (linux/input-event-codes.h)
  uint32_t keysym;    // X11 keysym for XTest; a button's X button number
  bool extended = false;  // Windows: sent with KEYEVENTF_EXTENDEDKEY
  KeyKind kind = KeyKind::Key;
  const char* german = nullptr;  // the German name settings take as well
  const char* inCombo = nullptr;  // its label inside a combination, where it differs
  const char* brief = nullptr;    // its label where room is short, where it differs
};

// The keys the program knows, in one place: also the list a settings
// dialog offers (name, German name, label).
const std::vector<KeyInfo>& keyTable();
const KeyInfo* keyByVk(uint8_t vk);
// By settings name, English or German, in any case: "shift", "F5", "Strg".
const KeyInfo* keyByName(std::string_view name);
// The names keyByName() knows, for telling what is allowed.
std::string keyNames();

// What one switch sends: a key, a combination of up to four keys (pressed
// in order, let go in reverse), a mouse button or a media key.
class KeyChord {
 public:
  static constexpr size_t kMax = 4;
  KeyChord() = default;
  explicit KeyChord(const KeyInfo* key) { add(key); }
  // Reads "Ctrl+Shift+F5", "strg+c", "MausLinks": on a mistake returns a
  // German sentence naming what is allowed, and leaves `out` as it was.
  static std::string parse(std::string_view text, KeyChord& out);

  const KeyInfo* const* begin() const { return keys_.data(); }
  const KeyInfo* const* end() const { return keys_.data() + count_; }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const KeyInfo* last() const { return count_ ? keys_[count_ - 1] : nullptr; }
  KeyKind kind() const { return count_ ? last()->kind : KeyKind::Key; }
  bool contains(const KeyInfo* key) const;
  // As settings write it: "Ctrl+Shift+F5".
  std::string name() const;
  // As the status text names it: "STRG+UMSCHALT+F5"; `brief` for less room.
  std::string label(bool brief = false) const;
  bool operator==(const KeyChord& o) const { return count_ == o.count_ && keys_ == o.keys_; }
  bool operator!=(const KeyChord& o) const { return !(*this == o); }

 private:
  void add(const KeyInfo* key) { keys_[count_++] = key; }
  std::array<const KeyInfo*, kMax> keys_{};
  size_t count_ = 0;
};

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
  // Makes mouse buttons sendable from now on, for a switch that became one
  // while the program runs; "" when they are, else why not, in German.
  virtual std::string offerButtons() { return {}; }
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
  std::string offerButtons() { return injector_.offerButtons(); }
  bool anyDown() const { return !down_.empty(); }
  bool isDown(const KeyInfo* key) const;
  // The keys down, oldest first.
  std::vector<const KeyInfo*> held() const;

 private:
  KeyInjector& injector_;
  std::vector<KeyStroke> down_;  // the key-down that left each key down
};

}  // namespace tl
