#include "app/session.h"

#include <algorithm>
#include <tuple>

#include "app/command_line.h"
#include "window/form1.h"

namespace tl::app {

namespace {

bool same(const Settings& a, const Settings& b) {
  auto sw = [](const SwitchSetting& s) { return std::tuple(s.line, s.key, s.invert, s.toggle, s.debounceMs); };
  return std::equal(a.switches.begin(), a.switches.end(), b.switches.begin(), b.switches.end(),
                    [&](const SwitchSetting& x, const SwitchSetting& y) { return sw(x) == sw(y); }) &&
         std::tie(a.port, a.remember, a.minimized, a.waitForPort, a.tray) ==
             std::tie(b.port, b.remember, b.minimized, b.waitForPort, b.tray);
}

}  // namespace

std::optional<int> Session::commandLine(const std::vector<std::string>& args) {
  cl_ = parseCommandLine(args);
  const CommandLine& cl = cl_;
  switch (cl.action) {
    case CommandLine::Action::Help:
      fe_.tell(usageText());
      return 0;
    case CommandLine::Action::Version:
      fe_.tell(versionText() + "\n");
      return 0;
    case CommandLine::Action::Mistake:
      fe_.tellMistake("tastlink: " + cl.mistake + "\n" + mistakeHint() + "\n");
      return kExitUsage;
    case CommandLine::Action::Run:
      break;
  }
  return std::nullopt;
}

std::optional<int> Session::configure(const std::function<IniFile()>& read) {
  try {
    settings_ = fileSettings_ = read ? settingsFromFile(read()) : Settings();
    for (const auto& o : cl_.settings) applyOption(settings_, o.option, o.name, o.value);
    checkSwitches(settings_.switches, "die Optionen passen nicht zur Einstellungsdatei: ");
  } catch (const SettingsError& e) {
    fe_.tellMistake("tastlink: " + std::string(e.what()) + "\n");
    return kExitUsage;
  }
  return std::nullopt;
}

std::string Session::portOption() const {
  std::string port;
  for (const auto& o : cl_.settings)
    if (o.name == "port") port = o.value;
  return port;
}

int Session::autostartDone(bool on, const std::string& failure) {
  if (!failure.empty()) {
    fe_.tellMistake("tastlink: " + failure + "\n");
    return 1;
  }
  fe_.tell(on ? "Tastlink startet ab jetzt mit der Sitzung (verkleinert, wartet auf einen Adapter).\n"
              : "Tastlink startet nicht mehr mit der Sitzung.\n");
  return 0;
}

void Session::setUp(Form1& form, const std::function<int16_t(const std::string&)>& portOf,
                    const std::string& remembered, std::function<void(const std::string&)> remember) {
  form.Switches = settings_.switches;
  form.WaitForPort = settings_.waitForPort;
  const std::string start = !settings_.port.empty() ? settings_.port : settings_.remember ? remembered : "";
  // A COM name is its number whether or not the port is there now (it may
  // be waited for); a device path means whichever number it has now.
  if (const int n = comNumber(start))
    form.StartPort = static_cast<int16_t>(n);
  else if (!start.empty() && portOf)
    form.StartPortOf = [portOf, start] { return portOf(start); };
  if (settings_.remember && remember)
    form.PortChosen = [remember = std::move(remember)](int16_t port) { remember("COM" + std::to_string(port)); };
}

std::string Session::changeSettings(const Settings& file, const std::function<std::string(const Settings&)>& save) {
  Settings next = file;
  try {
    for (const auto& o : cl_.settings) applyOption(next, o.option, o.name, o.value);
    checkSwitches(next.switches, "die Optionen dieses Laufs passen nicht dazu: ");
  } catch (const SettingsError& e) {
    return e.what();
  }
  if (const std::string why = save(file); !why.empty()) return why;
  fileSettings_ = file;
  settings_ = next;
  if (form_) {
    form_->WaitForPort = next.waitForPort;
    form_->ChangeSwitches(next.switches);
  }
  return {};
}

std::string Session::fileChanged(const std::function<IniFile()>& read) {
  try {
    const Settings file = settingsFromFile(read());
    // The program's own writes come back here too: they change nothing.
    if (same(file, fileSettings_)) return {};
    return changeSettings(file, [](const Settings&) { return std::string(); });
  } catch (const SettingsError& e) {
    return e.what();
  }
}

bool Session::prepare(const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const Error& e) {
    exitCode_ = 1;
    fe_.showReport(e);
    return false;
  }
}

bool Session::load() {
  try {
    form_->Form_Load();
  } catch (const Error& e) {
    form_->Shutdown();
    exitCode_ = 1;
    fe_.showReport(e);
    return false;
  }
  // A signal during start-up ends it as it would end the window.
  return !ending_;
}

void Session::guarded(const std::function<void()>& handler) {
  if (ending_) return;
  try {
    handler();
  } catch (const Error& e) {
    fatal(e);
  }
}

void Session::fatal(const Error& e) {
  if (ending_) return;
  ending_ = true;
  form_->Shutdown();
  fe_.hideWindow();
  exitCode_ = 1;
  fe_.showReport(e);
  fe_.quit(1);
}

void Session::windowClosing() noexcept {
  if (form_) form_->Shutdown();
}

void Session::endRequested() {
  if (form_) form_->Shutdown();
  ending_ = true;
  fe_.quit(exitCode_);
}

void Session::stateSaving() noexcept {
  if (form_) form_->LetKeysUp();
}

int Session::finish(int loopResult) noexcept {
  if (form_) form_->Shutdown();
  return exitCode_ ? exitCode_ : loopResult;
}

}  // namespace tl::app
