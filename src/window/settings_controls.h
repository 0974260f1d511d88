// The settings window's controls, as its logic (src/app/settings_dialog.h)
// sees them: one row per switch, the start-up choices, and a lamp per input
// line. Each toolkit draws them its own way; the meaning is decided once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tl {

struct SwitchRow {
  uint8_t line = 0;  // a lines:: bit; 0: no switch in this row
  std::string key;   // as chosen or typed
  bool toggle = false;
  bool invert = false;
  int debounceMs = 0;
};

enum class Check { Minimized, WaitForPort, Autostart, Tray };

class SettingsControls {
 public:
  static constexpr int kRows = 4;
  virtual ~SettingsControls() = default;
  // The key list's choices; typed names are allowed too.
  virtual void setKeyChoices(const std::vector<std::string>& names) = 0;
  virtual void setRow(int row, const SwitchRow& values) = 0;
  virtual SwitchRow row(int row) const = 0;
  // The start port's choices ("den zuletzt gewählten merken", COM3, …)
  // and the one shown; a device path may be typed.
  virtual void setPortChoices(const std::vector<std::string>& choices) = 0;
  virtual void setPort(const std::string& text) = 0;
  virtual std::string port() const = 0;
  virtual void setCheck(Check which, bool on) = 0;
  virtual bool check(Check which) const = 0;
  // A lamp per input line (a lines:: bit).
  virtual void setLamp(uint8_t line, bool on) = 0;
  // What a row's "Schalter erkennen" is doing; "" when nothing.
  virtual void setDetectHint(int row, const std::string& text) = 0;
  // Why a choice cannot work here (no tray to minimize to); "" when it can.
  virtual void setTrayHint(const std::string& text) = 0;
  // Options of this run that override what the window shows; "" for none.
  virtual void setOverrideNote(const std::string& text) = 0;
  // A value that cannot be taken, or a file that could not be written.
  virtual void showError(const std::string& text) = 0;
  virtual void closeWindow() = 0;
};

}  // namespace tl
