// What the Windows program keeps per user: its settings file, the port it
// remembers, the autostart entry, and the mark that one copy runs.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "serial/mscomm.h"

namespace tl::desktop_win32 {

// %APPDATA%\Tastlink; empty where the user has no profile folder.
std::wstring settingsFolder();

// <folder>\tastlink.ini, read; none there means no values. Raises
// app::SettingsError (German) when it is there but cannot be read.
app::IniFile readSettings(const std::wstring& folder);

// The port chosen last, kept in <folder>\state.ini apart from the user's
// file, so that the file with its comments is never rewritten. Forgetting
// is harmless: a port that cannot be kept or read back is simply not
// remembered.
std::string rememberedPort(const std::wstring& folder);
void rememberPort(const std::wstring& folder, const std::string& port);

// The Run value's command: the program, minimized, waiting for its adapter.
std::wstring autostartCommand(const std::wstring& exe);
// Whether `exe` lies in the user's temporary folder, where Explorer runs a
// program straight from a ZIP and whatever cleans up removes it later.
bool inTemporaryFolder(const std::wstring& exe);
// Writes or removes the per-user Run value; "" or, in German, why not.
std::string setAutostart(bool on);
// Whether the per-user Run value is there.
bool autostartOn();

// A port's mark in the user's session, held by the copy that uses the port
// (or was told to): a named mutex, shared within this process.
class PortMark {
 public:
  explicit PortMark(int port);
  ~PortMark();
  PortMark(const PortMark&) = delete;
  PortMark& operator=(const PortMark&) = delete;
  // Another copy holds the port's mark; this one then holds nothing.
  bool othersHold() const { return others_; }

 private:
  int port_;
  bool others_ = false;
};

// Lines that carry their port's mark while they are open, so that a second
// copy is compared with the port in use rather than with what either was
// told. `opened` hears of each port opened.
class MarkedLineDriver : public LineDriver {
 public:
  MarkedLineDriver(LineDriver& inner, std::function<void(int)> opened) : inner_(inner), opened_(std::move(opened)) {}
  std::unique_ptr<OpenLine> open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) override;

 private:
  LineDriver& inner_;
  std::function<void(int)> opened_;
};

// The mark a running copy leaves in the user's session: a named mutex for
// any copy, and the mark of the port it was told to use. Held until
// destroyed.
class CopyMark {
 public:
  // `port` as the settings have it ("COM3"); empty for none.
  explicit CopyMark(const std::string& port);
  ~CopyMark();
  CopyMark(const CopyMark&) = delete;
  CopyMark& operator=(const CopyMark&) = delete;
  // Another copy runs that this one would fight over the keys: one without
  // a port of its own when this has none either, or one on the same port.
  bool second() const { return second_; }
  // Puts this copy's window where a second copy finds it, under the port
  // it uses (0: none yet).
  static void label(HWND window, int port);
  // Marks the window hidden in the tray (or no longer): a second copy shows
  // it then, where it leaves a window hidden for a report alone.
  static void inTray(HWND window, bool hidden);
  static bool inTray(HWND window);
  // The second copy's part: brings the first copy's window to the front,
  // waiting a moment for it while the first copy is still starting.
  static void showFirst(const std::string& port);

 private:
  std::vector<HANDLE> handles_;
  std::unique_ptr<PortMark> port_;
  bool second_ = false;
};

}  // namespace tl::desktop_win32
