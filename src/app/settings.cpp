#include "app/settings.h"
#include "core/reports.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

namespace tl::app {

namespace {

constexpr int kMaxSwitches = 4;
constexpr int kMaxDebounceMs = 1000;

std::string lower(std::string_view s) {
  std::string out;
  for (char c : s) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(" \t\r") - b + 1));
}

using reports::excerpt;

std::string quoted(const std::string& s) { return "\u201E" + excerpt(s) + "\u201C"; }

bool boolean(const std::string& value) {
  const std::string v = lower(value);
  if (v == "true" || v == "1" || v == "yes" || v == "on" || v == "ja") return true;
  if (v == "false" || v == "0" || v == "no" || v == "off" || v == "nein") return false;
  throw SettingsError(quoted(value) + " ist kein Wahrheitswert. Erlaubt sind true und false.");
}

// One switch's setting by the name the file and the options share.
void setSwitch(SwitchSetting& s, const std::string& name, const std::string& value) {
  if (name == "line") {
    s.line = lineByName(value);
    if (!s.line) throw SettingsError("unbekannte Leitung " + quoted(value) + ". Erlaubt sind CTS, DSR, DCD und RI.");
  } else if (name == "key") {
    const std::string mistake = KeyChord::parse(value, s.key);
    if (!mistake.empty()) throw SettingsError(mistake);
  } else if (name == "invert") {
    s.invert = boolean(value);
  } else if (name == "mode") {
    const std::string v = lower(value);
    if (v != "hold" && v != "toggle")
      throw SettingsError("unbekannte Betriebsart " + quoted(value) + ". Erlaubt sind hold und toggle.");
    s.toggle = v == "toggle";
  } else if (name == "debounce") {
    const bool digits = !value.empty() && value.size() <= 4 &&
                        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(value) > kMaxDebounceMs)
      throw SettingsError(quoted(value) + " ist keine Entprellzeit. Erlaubt sind ganze Millisekunden von 0 bis " +
                          std::to_string(kMaxDebounceMs) + ".");
    s.debounceMs = std::stoi(value);
  } else {
    throw SettingsError("unbekannter Eintrag " + quoted(name) + ". Erlaubt sind line, key, invert, mode und debounce.");
  }
}

std::string checkedPort(const std::string& value) {
#ifdef _WIN32
  const bool path = false;
#else
  const bool path = !value.empty() && value[0] == '/';
#endif
  if (!path && !comNumber(value))
#ifdef _WIN32
    throw SettingsError(quoted(value) + " ist kein Anschluss. Erlaubt sind COM1 bis COM16.");
#else
    throw SettingsError(quoted(value) + " ist kein Anschluss. Erlaubt sind COM1 bis COM16 oder ein Gerätepfad "
                        "wie /dev/ttyUSB0.");
#endif
  return value;
}

void setGeneral(Settings& s, const std::string& name, const std::string& value) {
  if (name == "port") {
    s.port = value.empty() ? value : checkedPort(value);
  } else if (name == "remember") {
    s.remember = boolean(value);
  } else if (name == "minimized") {
    s.minimized = boolean(value);
  } else if (name == "wait-for-port") {
    s.waitForPort = boolean(value);
  } else if (name == "minimize-to-tray") {
    s.tray = boolean(value);
  } else {
    throw SettingsError("unbekannter Eintrag " + quoted(name) +
                        ". Erlaubt sind port, remember, minimized, wait-for-port und minimize-to-tray.");
  }
}

// "switch2" → 2; 0 for any other section.
int switchNumber(const std::string& section) {
  const std::string s = lower(section);
  if (s.size() != 7 || s.compare(0, 6, "switch") != 0 || s[6] < '1' || s[6] > '0' + kMaxSwitches) return 0;
  return s[6] - '0';
}

std::string place(const IniFile& file, const IniValue& v) {
  std::string where = "Fehler in der Einstellungsdatei " + file.path;
  if (v.line) where += ", Zeile " + std::to_string(v.line);
  return where + " ([" + excerpt(v.section) + "] " + excerpt(v.key) + "=" + excerpt(v.value) + "): ";
}

}  // namespace

int comNumber(const std::string& port) {
  if (port.size() < 4 || port.size() > 5 || lower(port.substr(0, 3)) != "com" || port[3] == '0') return 0;
  int n = 0;
  for (size_t i = 3; i < port.size(); ++i) {
    if (port[i] < '0' || port[i] > '9') return 0;
    n = n * 10 + (port[i] - '0');
  }
  // The program lists and watches COM1 to COM16 only: a higher number
  // could never be opened, and waiting for it would wait for good.
  return n <= 16 ? n : 0;
}

namespace {

// A line without what follows a ';' outside quotes: Qt's reader takes it
// as a comment, here too, so that a file means the same on both systems.
std::string_view withoutComment(std::string_view line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ';' && !quoted) return line.substr(0, i);
  }
  return line;
}

}  // namespace

IniFile parseIni(std::string_view text, const std::string& path) {
  IniFile file{path, {}};
  std::string section = "General";
  int number = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // Notepad's byte order mark
  while (!text.empty()) {
    // Lines end in LF, CR LF or (old Mac editors) CR alone.
    const size_t end = text.find_first_of("\r\n");
    const std::string_view raw = text.substr(0, end);
    const size_t next = end == std::string_view::npos ? text.size()
                        : text.compare(end, 2, "\r\n") == 0 ? end + 2
                                                             : end + 1;
    text.remove_prefix(next);
    ++number;
    // A zero-filled file (a power cut while it was written) or a stray
    // control character would otherwise cut the message or read as a value.
    if (const auto bad = std::find_if(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; });
        bad != raw.end()) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(*bad));
      throw SettingsError("Fehler in der Einstellungsdatei " + path + ", Zeile " + std::to_string(number) +
                          ": enthält das Steuerzeichen " + code + ". Bitte die Datei mit einem Texteditor prüfen.");
    }
    const std::string line = trim(withoutComment(raw));
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = trim(std::string_view(line).substr(1, line.size() - 2));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0)
      throw SettingsError("Fehler in der Einstellungsdatei " + path + ", Zeile " + std::to_string(number) + ": " +
                          quoted(line) + " ist weder [Abschnitt] noch Eintrag=Wert.");
    std::string value = trim(std::string_view(line).substr(eq + 1));
    // "Ctrl" in quotes means Ctrl, as Qt's reader takes it.
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    file.values.push_back({section, trim(std::string_view(line).substr(0, eq)), value, number});
  }
  return file;
}

Settings settingsFromFile(const IniFile& file) {
  Settings s;
  std::map<int, SwitchSetting> switches;
  for (const IniValue& v : file.values) {
    try {
      const std::string key = lower(v.key);
      if (lower(v.section) == "general") {
        setGeneral(s, key, v.value);
      } else if (const int n = switchNumber(v.section)) {
        setSwitch(switches[n], key, v.value);
      } else {
        throw SettingsError("unbekannter Abschnitt [" + excerpt(v.section) + "]. Erlaubt sind [General] und [switch1] bis [switch" +
                            std::to_string(kMaxSwitches) + "].");
      }
    } catch (const SettingsError& e) {
      throw SettingsError(place(file, v) + e.what());
    }
  }
  if (!switches.empty()) {
    s.switches.clear();
    for (auto& [n, sw] : switches) s.switches.push_back(sw);
    checkSwitches(s.switches, "Fehler in der Einstellungsdatei " + file.path + ": ");
  }
  return s;
}

void applyOption(Settings& settings, const std::string& option, const std::string& name, const std::string& value) {
  try {
    if (name == "port" || name == "minimized" || name == "wait-for-port")
      setGeneral(settings, name, value);
    else
      setSwitch(settings.switches.front(), name, value);
  } catch (const SettingsError& e) {
    throw SettingsError("Option " + option + ": " + e.what());
  }
}

void checkSwitches(const std::vector<SwitchSetting>& switches, const std::string& where) {
  for (size_t i = 0; i < switches.size(); ++i)
    for (size_t j = 0; j < i; ++j) {
      if (switches[i].line == switches[j].line)
        throw SettingsError(where + "die Leitung " + lineName(switches[i].line) +
                            " ist zwei Schaltern zugeordnet; jede Leitung trägt einen Schalter.");
      if (switches[i].key == switches[j].key)
        throw SettingsError(where + "die Taste " + switches[i].key.name() +
                            " ist zwei Schaltern zugeordnet; jeder Schalter braucht seine eigene Taste.");
    }
}

}  // namespace tl::app
