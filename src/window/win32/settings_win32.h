// The settings window in the Win32 API: standard controls, each label just
// before its control so that screen readers name the control by it, "&"
// mnemonics, and Tab through IsDialogMessage as in the main window.
#pragma once

#include <windows.h>

#include <functional>

#include "window/settings_controls.h"

namespace tl::window_win32 {

class Win32Settings : public SettingsControls {
 public:
  // Created hidden, owned by `owner`, at `dpi`.
  Win32Settings(HINSTANCE instance, HWND owner, UINT dpi);
  ~Win32Settings() override;

  void setKeyChoices(const std::vector<std::string>& names) override;
  void setRow(int row, const SwitchRow& values) override;
  SwitchRow row(int row) const override;
  void setPortChoices(const std::vector<std::string>& choices) override;
  void setPort(const std::string& text) override;
  std::string port() const override;
  void setCheck(Check which, bool on) override;
  bool check(Check which) const override;
  void setLamp(uint8_t line, bool on) override;
  void setDetectHint(int row, const std::string& text) override;
  void setTrayHint(const std::string& text) override;
  void setOverrideNote(const std::string& text) override;
  void showError(const std::string& text) override;
  void closeWindow() override;

  void show();
  bool visible() const { return IsWindowVisible(hwnd_); }
  HWND hwnd() const { return hwnd_; }

  std::function<void()> onOk, onCancel, onApply, onTick;
  std::function<void(int row)> onDetect;

 private:
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT handle(UINT, WPARAM, LPARAM);
  HWND item(int id) const { return GetDlgItem(hwnd_, id); }

  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  bool lamps_[4] = {};
  HBRUSH on_ = nullptr, off_ = nullptr;
};

}  // namespace tl::window_win32
