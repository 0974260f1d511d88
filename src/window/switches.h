// A switch: one input line of the port and the key (or combination, mouse
// button, media key) it stands for. The
// window's handlers follow the switches; the settings (src/app) fill them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keys/keyboard.h"
#include "serial/mscomm.h"

namespace tl {

struct SwitchSetting {
  uint8_t line = lines::CTS;
  KeyChord key = KeyChord(keyByVk(kVkShift));
  // Active while the line is not asserted: a normally closed switch.
  bool invert = false;
  // Each activation flips the key, for people who cannot hold a switch.
  bool toggle = false;
  // A change counts once the line has stayed put this long; 0 takes every
  // change as it comes.
  int debounceMs = 0;
};

// The button between RTS and CTS as Shift.
inline std::vector<SwitchSetting> defaultSwitches() { return {SwitchSetting{}}; }

// "CTS", "DSR", "DCD", "RI" for a lines:: bit; lineByName() is its inverse
// (any case), 0 for a name it does not know.
const char* lineName(uint8_t line);
uint8_t lineByName(const std::string& name);

}  // namespace tl
