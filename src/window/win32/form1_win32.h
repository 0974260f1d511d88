// The main window in the Win32 API: the controls at their twip layout,
// scaled by the window's DPI, in the system's dialog font.
#pragma once

#include <windows.h>

#include <functional>
#include <utility>
#include <map>
#include <string>

#include "window/form1.h"

namespace tl::window_win32 {

constexpr int kIdLabel1 = 101, kIdLabel2 = 102, kIdCombo1 = 103, kIdText1 = 104, kIdLabel3 = 105;
constexpr UINT kMsgRunTask = WM_APP + 1;  // lParam: std::function<void()>* to run and delete
constexpr UINT kMsgShowNote = WM_APP + 2;
constexpr int kIdNoteText = 0xFFFF;  // the note's text, where a message box has its own

int twipsToPixels(int twips, UINT dpi);
// The window rectangle (at 0,0) around a client area of `width` x `height`
// at `dpi`: frame and caption as a monitor of that density draws them, not
// as the primary monitor's system metrics say.
RECT frameFor(int width, int height, DWORD style, UINT dpi);

class Win32Form1 : public FormControls {
 public:
  // Creates the window hidden; Show() makes it visible.
  explicit Win32Form1(HINSTANCE instance);
  ~Win32Form1() override;

  void setLabel1Caption(const std::string& text) override;
  void setLabel1Shortened(const std::string& shown, const std::string& whole) override;
  bool label1Fits(const std::string& text) const override;
  void comboAddItem(const std::string& text) override;
  int comboListCount() const override;
  std::string comboItem(int index) const override;
  void comboShowSelection(int index) override;
  std::string comboText() const override;
  void text1SetFocus() override;
  void comboInsertItem(int index, const std::string& text) override;
  void comboRemoveItem(int index) override;
  void showNote(const std::string& text) override;
  void after(int ms, std::function<void()> task) override;

  void Show(int showCommand);
  // Runs `task` on the window's thread, from the message loop.
  void post(std::function<void()> task);

  // From now on, runs `onChange` on the window's thread when Windows says
  // that COM ports came or went, once for a burst of such messages.
  // `onChange` gets the ports the system named as arrived (true) or gone.
  using NamedPorts = std::vector<std::pair<int16_t, bool>>;
  void watchDevices(std::function<void(const NamedPorts&)> onChange);

  HWND hwnd() const { return hwnd_; }
  HWND note() const { return note_; }
  HWND control(int id) const { return GetDlgItem(hwnd_, id); }
  UINT dpi() const { return dpi_; }

  std::function<void()> onComboClick;      // the user chose an entry
  std::function<void()> onClose;           // closing, or the session ends
  std::function<void()> onSessionEnding;   // the session may end (the user may still cancel)
  std::function<void()> onSessionResumed;  // ...and it did not
  // "Einstellungen…" (context menu, system menu, Strg+Komma), "Pausieren".
  std::function<void()> onSettings, onPause;
  std::function<bool()> paused;
  // The status text changed (for the tray's tooltip and icon).
  std::function<void(const std::string&)> onStatus;
  // Whether minimizing hides the window in the tray instead.
  std::function<bool()> hideWhenMinimized;
  std::function<void(std::function<void()>&)> runTask = [](std::function<void()>& t) { t(); };

 private:
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK ControlProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK NoteProc(HWND, UINT, WPARAM, LPARAM);
  void openNote();
  // The window's own menu at `at` (screen), after the edit commands when
  // it is the text field's.
  void contextMenu(POINT at, bool edit);
  LRESULT handle(UINT, WPARAM, LPARAM);
  void layout(UINT dpi);
  void fitComboFont(const LOGFONTW& lf);
  void drawComboItem(const DRAWITEMSTRUCT& d);

  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  HFONT comboFont_ = nullptr;
  WNDPROC editProc_ = nullptr, comboProc_ = nullptr;
  int committed_ = -1;  // the list entry of the port in use
  HWND lastFocus_ = nullptr;
  UINT dpi_ = 96;
  HWND note_ = nullptr;
  std::wstring noteText_;
  HDEVNOTIFY deviceNotify_ = nullptr;
  std::function<void(const NamedPorts&)> onDevicesChanged_;
  NamedPorts namedPorts_;
  // after(): one timer per task, by id.
  std::map<UINT_PTR, std::function<void()>> timers_;
  UINT_PTR nextTimer_ = 100;
};

}  // namespace tl::window_win32
