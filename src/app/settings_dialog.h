// The settings window's logic, written once for every toolkit: it fills
// the controls from the settings file, reads them back through the same
// checks the file's values pass, and lights the line lamps.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/settings.h"
#include "serial/mscomm.h"
#include "window/settings_controls.h"

namespace tl::app {

// The key names the window offers; the same parser as the file's takes
// whatever else is typed.
std::vector<std::string> keyChoices();

constexpr const char* kFirstPort = "den ersten gefundenen";
constexpr const char* kRememberPort = "den zuletzt gewählten merken";

class SettingsDialog {
 public:
  explicit SettingsDialog(SettingsControls& view) : view_(view) {}

  // Takes the file's settings and whether the program starts with the
  // session; writes and applies them, "" or a German sentence why not.
  std::function<std::string(const Settings& file, bool autostart)> Save;

  // Fills the controls. `overrides` are this run's options: they win over
  // the file, and the window says so.
  void Load(const Settings& file, bool autostart, const std::vector<CommandLine::Setting>& overrides);
  // Where no tray exists, minimizing to it falls back to the taskbar.
  void TrayAvailable(bool available);
  // The controls as settings; raises SettingsError, in German, naming the
  // control.
  Settings Read() const;
  bool Apply();
  void Ok();
  void Cancel() { view_.closeWindow(); }
  // "Schalter erkennen": the next line to change is taken for `row`.
  void Detect(int row);
  // The port's input lines now (lines:: bits); none while no port is open.
  void LinesNow(std::optional<uint8_t> levels);

 private:
  SettingsControls& view_;
  bool autostart_ = false;
  std::optional<uint8_t> levels_;
  int detecting_ = -1;
  std::optional<uint8_t> detectFrom_;
};

class Session;
struct Platform;

// The window as every front end runs it: saving writes the file through the
// platform and puts it in force through the session, then sets the
// autostart entry; opening shows what the file says now.
void connectSettings(SettingsDialog& dialog, Session& session, const Platform& platform);
void loadSettings(SettingsDialog& dialog, const Session& session, const Platform& platform, bool trayAvailable);
// The open port's input lines now, none while no port is open.
std::optional<uint8_t> linesNow(MSComm& line);

}  // namespace tl::app
