// What the user set: the settings file and the command line, one meaning
// for both. The file's values and the options go through the same checks,
// so a value means the same wherever it is written, and a wrong one is
// told in German before anything starts.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "window/switches.h"

namespace tl::app {

struct Settings {
  std::vector<SwitchSetting> switches = defaultSwitches();
  // The port to open at start, as written ("COM3", a device path); empty:
  // the remembered one where `remember` is on, else the first listed.
  std::string port;
  bool remember = false;
  bool minimized = false;
  bool waitForPort = false;
  // Minimizing hides the window in the tray, where there is one.
  bool tray = false;
  // Whether a switch is a mouse button: the key injection must offer them.
  bool usesMouse() const {
    for (const SwitchSetting& s : switches)
      if (s.key.kind() == KeyKind::Button) return true;
    return false;
  }
};

// One value of a settings file, where it stood. `line` is 0 where the
// reader does not know it.
struct IniValue {
  std::string section;  // "General" for values before any section
  std::string key;
  std::string value;
  int line = 0;
};

struct IniFile {
  std::string path;  // for messages
  std::vector<IniValue> values;
};

// A wrong value, already in German, naming where it stood.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The program's own reader for the file's text: [section], key=value,
// comments after ; (anywhere outside quotes) or # (a line of its own). A
// line that is none of these is an error.
IniFile parseIni(std::string_view text, const std::string& path);

// The file's values over the defaults; raises SettingsError.
Settings settingsFromFile(const IniFile& file);

// One command-line option's value over `settings`: `name` is the setting
// as the file names it ("port", "key", "wait-for-port"); switch settings
// go to the first switch. Raises SettingsError naming `option`.
void applyOption(Settings& settings, const std::string& option, const std::string& name, const std::string& value);

// The switches must not share a line or a key; raises SettingsError.
void checkSwitches(const std::vector<SwitchSetting>& switches, const std::string& where);

// "COM3" (any case) → 3; 0 for anything else, COM17 and above too.
int comNumber(const std::string& port);

}  // namespace tl::app
