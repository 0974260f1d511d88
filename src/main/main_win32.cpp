// The Windows program: the window's thread runs every handler; the serial
// line's own thread only waits and posts to it.
#include <windows.h>

#include <utility>

#include "keys/win32/crash_release.h"
#include "keys/win32/keybd_injector.h"
#include "serial/win32/comm_line.h"
#include "serial/win32/file_layer.h"
#include "window/form1.h"
#include "window/runtime.h"
#include "window/win32/form1_win32.h"
#include "window/win32/message_loop.h"
#include "window/win32/text.h"

namespace {

void showError(const tl::Error& e) {
  MessageBoxW(nullptr, tl::win::widen(tl::errorReportText(e)).c_str(), L"Tastlink", MB_OK | MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  using namespace tl;
  win::KeybdEventInjector injector;
  ShiftKey keys(injector);
  win::letKeysUpOnCrash([&keys] { keys.releaseIfDown(); });
  win::Win32LineDriver driver;
  win::Win32FileLayer files;
  win::Win32Form1 view(instance);

  bool ending = false;
  int exitCode = 0;
  Form1* formPtr = nullptr;
  // An error that leaves a handler: Shift up, line closed, report, end.
  auto guarded = [&](const std::function<void()>& handler) {
    if (ending) return;
    try {
      handler();
    } catch (const Error& e) {
      ending = true;
      formPtr->Shutdown();
      ShowWindow(view.hwnd(), SW_HIDE);
      showError(e);
      exitCode = 1;
      DestroyWindow(view.hwnd());
    }
  };
  view.runTask = [&](std::function<void()>& task) { guarded(task); };
  MSComm line(driver, [&view](std::function<void()> task) { view.post(std::move(task)); });
  Form1 form(view, line, files, keys);
  formPtr = &form;
  view.onComboClick = [&] { guarded([&] { form.Combo1_Click(); }); };
  view.onClose = [&] { form.Shutdown(); };
  // Windows may end the process any time after the session's end is
  // announced, so Shift goes up then; should the user cancel, the key
  // follows the line again.
  bool releasedForSession = false;
  view.onSessionEnding = [&] {
    releasedForSession = releasedForSession || keys.down();
    keys.releaseIfDown();
  };
  view.onSessionResumed = [&] {
    if (!std::exchange(releasedForSession, false)) return;
    guarded([&] {
      if (line.PortOpen()) form.MSComm1_OnComm();
    });
  };

  try {
    form.Form_Load();
  } catch (const Error& e) {
    form.Shutdown();
    showError(e);
    return 1;
  }
  view.Show(showCommand);
  const int rc = win::runMessageLoop(view.hwnd());
  form.Shutdown();
  return exitCode ? exitCode : rc;
}
