// src/app is what makes the parts one program, the same for every front
// end: the command line (command_line.h), the start-up and exit policy
// (here) and the platform struct a front end is assembled from
// (platform.h).
//
// One start-up and exit policy for every front end. The promise that no
// key stays stuck rests on each way out running the same steps in the same
// order (keys up, line closed, report, end), so they live here once; a
// front end supplies only what its toolkit does differently.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/settings.h"
#include "core/runtime.h"

namespace tl {
class Form1;
}

namespace tl::app {

// What differs between the front ends.
struct FrontEnd {
  // Shows an error report and returns when it is dismissed or the loop it
  // runs is ended (a signal, the session's end).
  std::function<void(const Error&)> showReport;
  // Tells the user something that is not an error (--help, --version).
  std::function<void(const std::string&)> tell;
  // Tells a mistake on the command line.
  std::function<void(const std::string&)> tellMistake;
  std::function<void()> hideWindow;
  // Makes the message loop return `code`; a report's loop ends with it.
  std::function<void(int code)> quit;
};

class Session {
 public:
  explicit Session(FrontEnd frontEnd) : fe_(std::move(frontEnd)) {}

  // Before anything else: the command line. An exit code when the program
  // is to end at once (--help, --version, a mistake).
  std::optional<int> commandLine(const std::vector<std::string>& args);

  // Then the settings: the file `read` returns (it may raise
  // SettingsError), the options over it. An exit code when either holds a
  // mistake: the program does not start half-configured.
  std::optional<int> configure(const std::function<IniFile()>& read);
  const Settings& settings() const { return settings_; }
  // What the file says, before the options: what the settings window
  // shows and writes back.
  const Settings& fileSettings() const { return fileSettings_; }
  const std::vector<CommandLine::Setting>& options() const { return cl_.settings; }
  // New settings for the file, from the settings window: checked with the
  // options over them, saved by `save` ("" or why not), then in force at
  // once. "" or a German sentence why not; nothing changes then.
  std::string changeSettings(const Settings& file, const std::function<std::string(const Settings&)>& save);
  // The file changed on disk (edited by hand): read again by `read` and in
  // force where it means something new. "" or its mistake, in German; the
  // running settings stay then.
  std::string fileChanged(const std::function<IniFile()>& read);
  // The port given by --port (the last one), "" without: what a second
  // copy runs beside the first with.
  std::string portOption() const;
  // --autostart on|off, if given: the program does that and ends.
  std::optional<bool> autostart() const { return cl_.autostart; }
  // Tells the outcome of --autostart; the exit code.
  int autostartDone(bool on, const std::string& failure);

  // Hands the settings to the window: its switches, start port and
  // waiting. `portOf` turns a device path into the port's number now (0: not
  // there; COM names need none); `remember`, where set, keeps each port the
  // user chooses.
  void setUp(Form1& form, const std::function<int16_t(const std::string&)>& portOf,
             const std::string& remembered, std::function<void(const std::string&)> remember);

  // A start-up step that may fail before the window exists (key injection):
  // reports it; false means the program ends with exitCode().
  bool prepare(const std::function<void()>& step);

  void attach(Form1& form) { form_ = &form; }
  // For parts that exist only once the window does.
  FrontEnd& frontEnd() { return fe_; }
  // Form_Load with its error path; false means the program ends with
  // exitCode() and the window is never shown.
  bool load();

  // A handler run from the message loop. An error that leaves it ends the
  // program: keys up, line closed, window hidden, report, end.
  void guarded(const std::function<void()>& handler);

  // Ways out and their neighbours, from whatever the front end hears.
  void windowClosing() noexcept;   // the window is going
  void endRequested();             // a signal or the session's end
  void stateSaving() noexcept;     // the session saves its state: it may end
  // After the loop returned `loopResult`: the program's exit code.
  int finish(int loopResult) noexcept;

  bool ending() const { return ending_; }
  int exitCode() const { return exitCode_; }

 private:
  void fatal(const Error& e);

  FrontEnd fe_;
  CommandLine cl_;
  Settings settings_;
  Settings fileSettings_;
  Form1* form_ = nullptr;
  bool ending_ = false;
  int exitCode_ = 0;
};

}  // namespace tl::app
