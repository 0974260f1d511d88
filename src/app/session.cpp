#include "app/session.h"

#include "app/command_line.h"
#include "window/form1.h"

namespace tl::app {

std::optional<int> Session::commandLine(const std::vector<std::string>& args) {
  const CommandLine cl = parseCommandLine(args);
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
