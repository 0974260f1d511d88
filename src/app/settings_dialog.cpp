#include "app/settings_dialog.h"

#include "app/platform.h"
#include "app/session.h"

namespace tl::app {

namespace {

constexpr uint8_t kLines[] = {lines::CTS, lines::DSR, lines::DCD, lines::RI};

// An option's setting as the window names the field it overrides.
std::string fieldOf(const std::string& name) {
  if (name == "port") return "Start-Anschluss";
  if (name == "minimized") return "Minimiert starten";
  if (name == "wait-for-port") return "Auf Adapter warten";
  if (name == "line") return "Leitung von Schalter 1";
  if (name == "key") return "Taste von Schalter 1";
  if (name == "mode") return "Betriebsart von Schalter 1";
  if (name == "invert") return "Öffner von Schalter 1";
  return "Entprellung von Schalter 1";
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

std::vector<std::string> keyChoices() {
  std::vector<std::string> names;
  for (const KeyInfo& k : keyTable()) names.push_back(k.name);
  return names;
}

void SettingsDialog::Load(const Settings& file, bool autostart, const std::vector<CommandLine::Setting>& overrides) {
  view_.setKeyChoices(keyChoices());
  for (int i = 0; i < SettingsControls::kRows; ++i) {
    SwitchRow row;
    if (i < static_cast<int>(file.switches.size())) {
      const SwitchSetting& s = file.switches[static_cast<size_t>(i)];
      row = {s.line, s.key.empty() ? "" : s.key.name(), s.toggle, s.invert, s.debounceMs};
    }
    view_.setRow(i, row);
  }
  std::vector<std::string> ports = {kFirstPort, kRememberPort};
  for (int n = 1; n <= 16; ++n) ports.push_back("COM" + std::to_string(n));
  view_.setPortChoices(ports);
  view_.setPort(!file.port.empty() ? file.port : file.remember ? kRememberPort : kFirstPort);
  view_.setCheck(Check::Minimized, file.minimized);
  view_.setCheck(Check::WaitForPort, file.waitForPort);
  view_.setCheck(Check::Autostart, autostart);
  view_.setCheck(Check::Tray, file.tray);
  autostart_ = autostart;
  std::string note;
  for (const auto& o : overrides)
    note += (note.empty() ? "" : "; ") + fieldOf(o.name) + ": " + o.option +
            (o.name == "minimized" || o.name == "wait-for-port" ? "" : " " + o.value);
  view_.setOverrideNote(note.empty() ? note
                                     : "Für diesen Lauf gilt die Befehlszeile (" + note +
                                           "). Gespeichert wird, was hier steht.");
}

Settings SettingsDialog::Read() const {
  Settings s;
  s.switches.clear();
  for (int i = 0; i < SettingsControls::kRows; ++i) {
    const SwitchRow row = view_.row(i);
    if (!row.line) continue;
    const std::string where = "Schalter " + std::to_string(i + 1) + ": ";
    KeyChord key;
    const std::string mistake = KeyChord::parse(trimmed(row.key), key);
    if (!mistake.empty()) throw SettingsError(where + mistake);
    if (row.debounceMs < 0 || row.debounceMs > 1000)
      throw SettingsError(where + "die Entprellzeit muss zwischen 0 und 1000 ms liegen.");
    s.switches.push_back({row.line, key, row.invert, row.toggle, row.debounceMs});
  }
  if (s.switches.empty()) throw SettingsError("Mindestens ein Schalter braucht eine Leitung.");
  checkSwitches(s.switches, "");
  const std::string port = trimmed(view_.port());
  if (port == kRememberPort) {
    s.remember = true;
  } else if (port != kFirstPort && !port.empty()) {
    try {
      applyOption(s, "", "port", port);
    } catch (const SettingsError& e) {
      // The option's name in front means nothing here.
      const std::string what = e.what();
      throw SettingsError("Start-Anschluss: " + what.substr(what.find(": ") + 2));
    }
  }
  s.minimized = view_.check(Check::Minimized);
  s.waitForPort = view_.check(Check::WaitForPort);
  s.tray = view_.check(Check::Tray);
  return s;
}

bool SettingsDialog::Apply() {
  std::string why;
  try {
    const Settings s = Read();
    const bool autostart = view_.check(Check::Autostart);
    why = Save ? Save(s, autostart) : std::string();
    if (why.empty()) autostart_ = autostart;
  } catch (const SettingsError& e) {
    why = e.what();
  }
  if (!why.empty()) view_.showError(why);
  return why.empty();
}

void SettingsDialog::Ok() {
  if (Apply()) view_.closeWindow();
}

void SettingsDialog::TrayAvailable(bool available) {
  view_.setTrayHint(available ? ""
                              : "Kein Infobereich verfügbar: Tastlink wird stattdessen in die Taskleiste "
                                "minimiert.");
}

void SettingsDialog::Detect(int row) {
  if (detecting_ >= 0) view_.setDetectHint(detecting_, "");
  detecting_ = row;
  detectFrom_ = levels_;
  view_.setDetectHint(row, levels_ ? "Bitte jetzt den Schalter betätigen …"
                                   : "Kein Anschluss geöffnet: erst einen Anschluss wählen.");
  if (!levels_) detecting_ = -1;
}

void SettingsDialog::LinesNow(std::optional<uint8_t> levels) {
  for (uint8_t line : kLines) view_.setLamp(line, levels && (*levels & line));
  levels_ = levels;
  if (detecting_ < 0) return;
  if (!levels) {
    view_.setDetectHint(detecting_, "Der Anschluss ist nicht mehr offen.");
    detecting_ = -1;
    return;
  }
  if (!detectFrom_) detectFrom_ = levels;
  const uint8_t changed = *levels ^ *detectFrom_;
  for (uint8_t line : kLines) {
    if (!(changed & line)) continue;
    SwitchRow row = view_.row(detecting_);
    row.line = line;
    view_.setRow(detecting_, row);
    view_.setDetectHint(detecting_, std::string(lineName(line)) + " erkannt.");
    detecting_ = -1;
    return;
  }
}

void connectSettings(SettingsDialog& dialog, Session& session, const Platform& platform) {
  dialog.Save = [&session, &platform](const Settings& file, bool autostart) {
    std::string why = "Tastlink kann seine Einstellungen hier nicht speichern.";
    session.guarded([&] {
      if (platform.saveSettings) why = session.changeSettings(file, platform.saveSettings);
      const bool on = platform.autostartOn && platform.autostartOn();
      if (why.empty() && autostart != on && platform.setAutostart) why = platform.setAutostart(autostart);
    });
    return why;
  };
}

void loadSettings(SettingsDialog& dialog, const Session& session, const Platform& platform, bool trayAvailable) {
  dialog.Load(session.fileSettings(), platform.autostartOn && platform.autostartOn(), session.options());
  dialog.TrayAvailable(trayAvailable);
}

std::optional<uint8_t> linesNow(MSComm& line) {
  if (!line.PortOpen()) return std::nullopt;
  uint8_t now = 0;
  for (uint8_t l : kLines)
    if (line.Holding(l)) now |= l;
  return now;
}

}  // namespace tl::app
