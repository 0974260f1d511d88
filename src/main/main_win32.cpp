// The Windows program: the window's thread runs every handler; the serial
// line's own thread only waits and posts to it.
#include <windows.h>

#include "keys/win32/keybd_injector.h"
#include "main/win32_app.h"
#include "app/settings_file.h"
#include "desktop/win32/user_files.h"
#include "window/win32/text.h"
#include "serial/win32/comm_line.h"
#include "serial/win32/device_watch.h"
#include "serial/win32/file_layer.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  using namespace tl;
  app::Platform p;
  p.makeLine = [] { return std::make_unique<serial_win32::Win32LineDriver>(); };
  p.makeFiles = [] { return std::make_unique<serial_win32::Win32FileLayer>(); };
  p.makeKeys = [](bool) { return std::make_unique<keys_win32::SendInputInjector>(); };
  p.deviceOf = [](int com) { return "COM" + std::to_string(com); };
  p.makeWatch = [] { return std::make_unique<serial_win32::Win32DeviceWatch>(); };
  const std::wstring folder = desktop_win32::settingsFolder();
  p.readSettings = [folder] { return desktop_win32::readSettings(folder); };
  p.rememberedPort = [folder] { return desktop_win32::rememberedPort(folder); };
  p.rememberPort = [folder](const std::string& port) { desktop_win32::rememberPort(folder, port); };
  p.setAutostart = desktop_win32::setAutostart;
  const std::string file = window_win32::narrow(folder + L"\\tastlink.ini");
  p.saveSettings = [file](const app::Settings& s) { return app::saveSettings(file, s); };
  p.autostartOn = desktop_win32::autostartOn;
  p.settingsPath = [file] { return file; };
  return app::runWin32(instance, showCommand, p);
}
