#include "keys/keyboard.h"

#include "core/reports.h"

#include <algorithm>

namespace tl {

const std::vector<KeyInfo>& keyTable() {
  static const std::vector<KeyInfo> table = [] {
    // name, status label, Windows VK, Linux KEY_*, X keysym, extended
    // name, status label, Windows VK, Linux code, X keysym or button,
    // extended, kind, German name, label in a combination, brief label
    constexpr KeyKind M = KeyKind::Modifier, K = KeyKind::Key, B = KeyKind::Button, P = KeyKind::Media;
    std::vector<KeyInfo> t = {
        // Alone, Shift keeps the name the status line always gave it.
        {"Shift", "SHIFT", 0x10, 42, 0xffe1, false, M, "Umschalt", "UMSCHALT", "UMSCH"},  // KEY_LEFTSHIFT, XK_Shift_L
        {"Ctrl", "STRG", 0x11, 29, 0xffe3, false, M, "Strg"},      // VK_CONTROL, KEY_LEFTCTRL
        {"Alt", "ALT", 0x12, 56, 0xffe9, false, M},                // VK_MENU, KEY_LEFTALT
        {"AltGr", "ALT GR", 0xa5, 100, 0xfe03, true, M, nullptr, nullptr, "ALTGR"},  // VK_RMENU, ISO_Level3_Shift
        {"Super", "WIN", 0x5b, 125, 0xffeb, true, M, "Win"},       // VK_LWIN, KEY_LEFTMETA, XK_Super_L
        {"Space", "LEERTASTE", 0x20, 57, 0x20, false, K, "Leertaste", nullptr, "LEER"},
        {"Enter", "EINGABE", 0x0d, 28, 0xff0d, false, K, "Eingabe"},
        {"Tab", "TAB", 0x09, 15, 0xff09},
        {"Esc", "ESC", 0x1b, 1, 0xff1b},
        // VK_LBUTTON.., BTN_LEFT.., X buttons 1, 3, 2, 8, 9.
        {"MouseLeft", "MAUS LINKS", 0x01, 0x110, 1, false, B, "MausLinks"},
        {"MouseRight", "MAUS RECHTS", 0x02, 0x111, 3, false, B, "MausRechts"},
        {"MouseMiddle", "MAUS MITTE", 0x04, 0x112, 2, false, B, "MausMitte"},
        {"MouseBack", "MAUS ZURÜCK", 0x05, 0x113, 8, false, B, "MausZurück"},
        {"MouseForward", "MAUS VOR", 0x06, 0x114, 9, false, B, "MausVor"},
        // VK_MEDIA_*/VK_VOLUME_*, KEY_PLAYPAUSE.., XF86Audio*.
        {"PlayPause", "WIEDERGABE/PAUSE", 0xb3, 164, 0x1008ff14, true, P, "Wiedergabe", nullptr, "WIEDERGABE"},
        {"Stop", "STOPP", 0xb2, 166, 0x1008ff15, true, P, "Stopp"},
        {"Next", "NÄCHSTER TITEL", 0xb0, 163, 0x1008ff17, true, P, "Weiter", nullptr, "NÄCHSTER"},
        {"Previous", "VORIGER TITEL", 0xb1, 165, 0x1008ff16, true, P, "Zurück", nullptr, "VORIGER"},
        {"Mute", "STUMM", 0xad, 113, 0x1008ff12, true, P, "Stumm"},
        {"VolumeUp", "LAUTER", 0xaf, 115, 0x1008ff13, true, P, "Lauter"},
        {"VolumeDown", "LEISER", 0xae, 114, 0x1008ff11, true, P, "Leiser"},
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

namespace {

// ASCII letters and the umlauts in UTF-8 (U+00C4.. are two bytes, C3 and
// one 0x20 below its lower case) to lower case.
std::string folded(std::string_view s) {
  std::string out(s);
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned char& c = reinterpret_cast<unsigned char&>(out[i]);
    if (c >= 'A' && c <= 'Z') c += 0x20;
    if (c >= 0x80 && c <= 0x9e && c != 0x97 && i > 0 && static_cast<unsigned char>(out[i - 1]) == 0xc3) c += 0x20;
  }
  return out;
}

std::string namesOf(KeyKind kind, const char* KeyInfo::*field) {
  std::string out;
  for (const KeyInfo& k : keyTable())
    if (k.kind == kind && k.*field) (out += out.empty() ? "" : ", ") += k.*field;
  return out;
}

}  // namespace

std::string keyNames() {
  std::string german;
  for (const KeyInfo& k : keyTable())
    if (k.german) (german += german.empty() ? "" : ", ") += k.german;
  return "Shift, Ctrl, Alt, AltGr, Super, Space, Enter, Tab, Esc, F1 bis F24, A bis Z, 0 bis 9; bis zu vier davon mit "
         "+ verbunden, Umschalttasten vorn (Ctrl+Shift+F5); allein die Maustasten " +
         namesOf(KeyKind::Button, &KeyInfo::name) + " und die Medientasten " + namesOf(KeyKind::Media, &KeyInfo::name) +
         "; auch deutsch: " + german;
}

const KeyInfo* keyByVk(uint8_t vk) {
  for (const KeyInfo& k : keyTable())
    if (k.vk == vk) return &k;
  return nullptr;
}

const KeyInfo* keyByName(std::string_view name) {
  const std::string wanted = folded(name);
  for (const KeyInfo& k : keyTable())
    if (folded(k.name) == wanted || (k.german && folded(k.german) == wanted)) return &k;
  return nullptr;
}

std::string KeyChord::parse(std::string_view text, KeyChord& out) {
  const std::string whole = "\u201E" + reports::excerpt(text) + "\u201C";
  KeyChord chord;
  size_t at = 0;
  for (;;) {
    const size_t plus = std::min(text.find('+', at), text.size());
    std::string_view part = text.substr(at, plus - at);
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
    const KeyInfo* key = keyByName(part);
    if (!key)
      return "unbekannte Taste \u201E" + reports::excerpt(part) + "\u201C" + (plus < text.size() || at ? " in " + whole : "") +
             ". Erlaubt sind " + keyNames() + ".";
    if (chord.size() == kMax) return whole + " hat mehr als vier Tasten; eine Kombination hat höchstens vier.";
    if (chord.contains(key)) return "die Taste " + std::string(key->name) + " steht zweimal in " + whole +
                                          "; jede Taste steht höchstens einmal in einer Kombination.";
    chord.add(key);
    if (plus == text.size()) break;
    at = plus + 1;
  }
  for (const KeyInfo* key : chord) {
    if (chord.size() == 1) break;
    if (key->kind == KeyKind::Button || key->kind == KeyKind::Media)
      return std::string(key->kind == KeyKind::Button ? "eine Maustaste" : "eine Medientaste") + " (" + key->name +
             ") steht allein, nicht in einer Kombination wie " + whole + ".";
    if (key != chord.last() && key->kind != KeyKind::Modifier)
      return "in einer Kombination stehen die Umschalttasten (Shift, Ctrl, Alt, AltGr, Super) vorn und nur die "
             "letzte Taste ist eine andere; " +
             whole + " geht so nicht.";
  }
  out = chord;
  return {};
}

bool KeyChord::contains(const KeyInfo* key) const { return std::find(begin(), end(), key) != end(); }

std::string KeyChord::name() const {
  std::string out;
  for (const KeyInfo* k : *this) (out += out.empty() ? "" : "+") += k->name;
  return out;
}

std::string KeyChord::label(bool brief) const {
  std::string out;
  for (const KeyInfo* k : *this) {
    const char* l = size() == 1 ? k->label : k->inCombo ? k->inCombo : k->label;
    if (brief && k->brief) l = k->brief;
    (out += out.empty() ? "" : "+") += l;
  }
  return out;
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
