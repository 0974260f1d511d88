#include "main/win32_app.h"

#include <cstdlib>
#include <utility>

#include "app/session.h"
#include "app/settings_dialog.h"
#include "app/win32/folder_watch.h"
#include "core/runtime.h"
#include "desktop/win32/tray_icon.h"
#include "keys/win32/crash_release.h"
#include "desktop/win32/user_files.h"
#include "serial/win32/win_error.h"
#include "window/form1.h"
#include "window/win32/form1_win32.h"
#include "window/win32/message_loop.h"
#include "window/win32/settings_win32.h"
#include "window/win32/text.h"

namespace tl::app {

namespace {

// The boxes' owner once the window exists: a box owned by it stays with
// it, and a second copy finds the report through it.
HWND g_owner = nullptr;

// How long a start into the tray waits for the shell to take the icon
// before the window shows minimized instead.
constexpr int kTrayWaitMs = 10000;

// A box for a window already gone would not show at all.
HWND owner() { return IsWindow(g_owner) ? g_owner : nullptr; }

void showError(const Error& e) {
  MessageBoxW(owner(), window_win32::widen(errorReportText(e)).c_str(), L"Tastlink", MB_OK | MB_ICONERROR);
}

// There is no console to print to: answers to the command line are boxes.
void box(const std::string& text, UINT icon) {
  MessageBoxW(owner(), window_win32::widen(text).c_str(), L"Tastlink", MB_OK | icon);
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
                   // A box has a title saying whose it is; the terminal's prefix goes.
                   .tellMistake =
                       [](const std::string& text) {
                         box(text.rfind("tastlink: ", 0) == 0 ? text.substr(10) : text, MB_ICONWARNING);
                       },
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
  keys_win32::letKeysUpOnCrash();
  auto platformDriver = platform.makeLine();
  auto files = platform.makeFiles();
  window_win32::Win32Form1 view(instance);
  desktop_win32::CopyMark::label(view.hwnd(), app::comNumber(port));
  g_owner = view.hwnd();
  // A second copy finds this one under the port it has open.
  desktop_win32::MarkedLineDriver marked(*platformDriver, [&view](int opened) {
    desktop_win32::CopyMark::label(view.hwnd(), opened);
  });

  view.runTask = [&](std::function<void()>& task) { session.guarded(task); };
  MSComm line(marked, [&view](std::function<void()> task) { view.post(std::move(task)); });
  Form1 form(view, line, *files, keys);
  form.Log = serial_win32::logLine;
  session.attach(form);
  session.setUp(form, platform.portOf, platform.rememberedPort ? platform.rememberedPort() : "", platform.rememberPort);
  // An error's report replaces the window, whose end then ends the loop.
  session.frontEnd().hideWindow = [&view] { ShowWindow(view.hwnd(), SW_HIDE); };
  session.frontEnd().quit = [&view](int) { DestroyWindow(view.hwnd()); };
  view.onComboClick = [&] { session.guarded([&] { form.Combo1_Click(); }); };
  view.onClose = [&] { session.windowClosing(); };

  // The tray: the key's state and the status at a glance, and a way back
  // to the window when it is hidden there.
  desktop_win32::TrayIcon tray(instance);

  // The settings window: the file's settings, saved and in force at once,
  // and the lines of the open port, read while it shows.
  window_win32::Win32Settings settingsView(instance, view.hwnd(), view.dpi());
  SettingsDialog settingsDialog(settingsView);
  connectSettings(settingsDialog, session, platform);
  settingsView.onOk = [&] { settingsDialog.Ok(); };
  settingsView.onApply = [&] { settingsDialog.Apply(); };
  settingsView.onCancel = [&] { settingsDialog.Cancel(); };
  settingsView.onDetect = [&](int row) { settingsDialog.Detect(row); };
  settingsView.onTick = [&] { session.guarded([&] { settingsDialog.LinesNow(linesNow(line)); }); };
  view.onSettings = [&] {
    if (session.ending()) return;
    if (!settingsView.visible()) {
      loadSettings(settingsDialog, session, platform, tray.available());
      session.guarded([&] { settingsDialog.LinesNow(linesNow(line)); });
    }
    settingsView.show();
  };
  // The file edited by hand while the program runs: in force once the
  // editor is done; a mistake is shown once and the settings stay.
  std::string lastMistake;
  auto reread = [&] {
    const std::string why = session.fileChanged(platform.readSettings);
    if (!why.empty() && why != lastMistake)
      view.showNote("Die geänderte Einstellungsdatei gilt nicht, Tastlink arbeitet weiter wie bisher.\n\n" + why);
    lastMistake = why;
  };
  std::unique_ptr<FolderWatch> fileWatch;
  if (platform.settingsPath && platform.readSettings) {
    std::wstring folder = window_win32::widen(platform.settingsPath());
    folder.resize(folder.find_last_of(L'\\'));
    CreateDirectoryW(folder.c_str(), nullptr);
    fileWatch = std::make_unique<FolderWatch>(folder, [&] { view.post([&] { view.after(300, reread); }); });
  }
  view.onPause = [&] { session.guarded([&] { form.Pause(!form.Paused()); }); };
  view.paused = [&] { return form.Paused(); };
  HWND window = view.hwnd();
  auto bringForward = [window] {
    desktop_win32::CopyMark::inTray(window, false);
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
  };
  tray.onShowWindow = bringForward;
  tray.onSettings = [&] { view.onSettings(); };
  tray.onPause = view.onPause;
  tray.onQuit = [window] { PostMessageW(window, WM_CLOSE, 0, 0); };
  view.onStatus = [&](const std::string& text) {
    tray.setStatus(window_win32::widen(text), keys.anyDown(), form.Paused());
  };
  view.hideWhenMinimized = [&] {
    const bool hide = session.settings().tray && tray.available();
    desktop_win32::CopyMark::inTray(window, hide);
    return hide;
  };
  // The list follows the devices; nothing wakes while none come or go. The
  // first look is taken before the probe, so that a device that comes
  // meanwhile is not missed.
  std::unique_ptr<comport::DeviceWatch> watch = platform.makeWatch ? platform.makeWatch() : nullptr;
  if (watch)
    view.watchDevices([&](const window_win32::Win32Form1::NamedPorts& named) {
      for (const auto& [port, arrived] : named) watch->announced(port, arrived);
      session.guarded([&] { form.PortsChanged(watch->changes()); });
    });
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

  // Started minimized with the session, the window would hide what the
  // user must mend (a port refused while waiting).
  bool mustAct = false;
  form.NeedsUser = [&] {
    mustAct = true;
    if (IsWindowVisible(window) || desktop_win32::CopyMark::inTray(window)) bringForward();
  };
  // A tray that refuses the icon, or loses it, must not keep the window
  // hidden there.
  tray.onAvailable = [&](bool available) {
    if (!available && !IsWindowVisible(window) && !session.ending() && session.settings().tray) {
      desktop_win32::CopyMark::inTray(window, false);
      view.Show(SW_SHOWMINNOACTIVE);
    }
  };

  if (!session.load()) return session.exitCode();
  // Started into the tray, the window comes from the icon's menu (or, where
  // the icon does not come up, minimized as without a tray).
  const bool intoTray = session.settings().minimized && session.settings().tray && !mustAct;
  if (intoTray) {
    desktop_win32::CopyMark::inTray(window, true);
    // A shell that never answers is taken as none.
    view.after(kTrayWaitMs, [&] {
      if (!tray.available()) tray.onAvailable(false);
    });
  } else {
    view.Show(mustAct ? SW_SHOWNORMAL : session.settings().minimized ? SW_SHOWMINNOACTIVE : showCommand);
  }
  // The icon only once the window is up and the line served: the shell may
  // take its time.
  view.post([&] { tray.show(); });
  // Tab and the mnemonics work in whichever of the other windows is active.
  return session.finish(window_win32::runMessageLoop(view.hwnd(), [&] {
    return GetActiveWindow() == settingsView.hwnd() ? settingsView.hwnd() : view.note();
  }));
}

}  // namespace tl::app
