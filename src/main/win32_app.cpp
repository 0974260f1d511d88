#include "main/win32_app.h"

#include <cstdlib>
#include <utility>

#include "app/session.h"
#include "core/runtime.h"
#include "keys/win32/crash_release.h"
#include "main/win32_desktop.h"
#include "window/form1.h"
#include "window/win32/form1_win32.h"
#include "window/win32/message_loop.h"
#include "window/win32/text.h"

namespace tl::app {

namespace {

void showError(const Error& e) {
  MessageBoxW(nullptr, window_win32::widen(errorReportText(e)).c_str(), L"Tastlink", MB_OK | MB_ICONERROR);
}

// There is no console to print to: answers to the command line are boxes.
void box(const std::string& text, UINT icon) {
  MessageBoxW(nullptr, window_win32::widen(text).c_str(), L"Tastlink", MB_OK | icon);
}

// The C runtime has split the command line already (by the rules
// CommandLineToArgvW follows), without a further DLL to import.
std::vector<std::string> commandLineArgs() {
  std::vector<std::string> args;
  for (int i = 1; __wargv && i < __argc; ++i) args.push_back(window_win32::narrow(__wargv[i]));
  return args;
}

}  // namespace

int runWin32(HINSTANCE instance, int showCommand, const Platform& platform) {
  Session session({.showReport = showError,
                   .tell = [](const std::string& text) { box(text, MB_ICONINFORMATION); },
                   .tellMistake = [](const std::string& text) { box(text, MB_ICONWARNING); },
                   .hideWindow = [] {},  // until there is a window
                   .quit = [](int code) { PostQuitMessage(code); }});
  if (const auto rc = session.commandLine(commandLineArgs())) return *rc;
  // Before the settings: a broken file must not keep the entry from going.
  if (const auto on = session.autostart())
    return session.autostartDone(*on, platform.setAutostart ? platform.setAutostart(*on) : "nicht unterstützt");
  if (const auto rc = session.configure(platform.readSettings)) return *rc;
  // One copy holds the keys; a second one started (a double click too many,
  // the autostart beside a manual start) shows the first and goes. Before
  // the probe: its opening and closing the ports would disturb the first.
  const std::string port = session.portOption();
  desktop_win32::CopyMark mark(port);
  if (mark.second()) {
    desktop_win32::CopyMark::showFirst(port);
    return 0;
  }

  std::unique_ptr<KeyInjector> injector;
  if (!session.prepare([&] { injector = platform.makeKeys(session.settings().usesMouse()); })) return session.exitCode();
  Keyboard keys(*injector);
  keys_win32::letKeysUpOnCrash([&keys] { keys.releaseAll(); });
  auto driver = platform.makeLine();
  auto files = platform.makeFiles();
  window_win32::Win32Form1 view(instance);
  desktop_win32::CopyMark::label(view.hwnd(), port);

  view.runTask = [&](std::function<void()>& task) { session.guarded(task); };
  MSComm line(*driver, [&view](std::function<void()> task) { view.post(std::move(task)); });
  Form1 form(view, line, *files, keys);
  session.attach(form);
  session.setUp(form, platform.portOf, platform.rememberedPort ? platform.rememberedPort() : "", platform.rememberPort);
  // An error's report replaces the window, whose end then ends the loop.
  session.frontEnd().hideWindow = [&view] { ShowWindow(view.hwnd(), SW_HIDE); };
  session.frontEnd().quit = [&view](int) { DestroyWindow(view.hwnd()); };
  view.onComboClick = [&] { session.guarded([&] { form.Combo1_Click(); }); };
  view.onClose = [&] { session.windowClosing(); };
  // The list follows the devices; nothing wakes while none come or go. The
  // first look is taken before the probe, so that a device that comes
  // meanwhile is not missed.
  std::unique_ptr<comport::DeviceWatch> watch = platform.makeWatch ? platform.makeWatch() : nullptr;
  if (watch) view.watchDevices([&] { session.guarded([&] { form.PortsChanged(watch->changes()); }); });
  // Windows may end the process any time after the session's end is
  // announced, so the key goes up then; should the user cancel, the key
  // follows the line again.
  bool releasedForSession = false;
  view.onSessionEnding = [&] {
    releasedForSession = releasedForSession || keys.anyDown();
    session.stateSaving();
  };
  view.onSessionResumed = [&] {
    if (!std::exchange(releasedForSession, false)) return;
    session.guarded([&] {
      form.Resync();
    });
  };

  if (!session.load()) return session.exitCode();
  view.Show(session.settings().minimized ? SW_SHOWMINNOACTIVE : showCommand);
  return session.finish(window_win32::runMessageLoop(view.hwnd(), [&view] { return view.note(); }));
}

}  // namespace tl::app
