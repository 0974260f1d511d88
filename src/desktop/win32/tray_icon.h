// The icon in the notification area: the key's state at a glance, the
// status text as its tooltip, and a menu for what the window offers.
//
// The shell is asked on a thread of the icon's own: Shell_NotifyIcon waits
// for Explorer's answer, which may come late or never (Explorer busy,
// starting, or hung), and neither the window nor the line may wait for it.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace tl::desktop_win32 {

class TrayIcon {
 public:
  explicit TrayIcon(HINSTANCE instance);
  ~TrayIcon();  // takes the icon down, waiting only briefly for the shell
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Puts the icon up, and again whenever Explorer starts anew. Returns at
  // once: the shell's answer comes through onAvailable.
  void show();
  void setStatus(const std::wstring& text, bool pressed, bool paused);
  // The shell holds the icon: a window hidden there can be found again.
  bool available() const { return available_; }

  std::function<void()> onShowWindow, onSettings, onPause, onQuit;
  // The shell took the icon (true) or refused it or lost it (false).
  std::function<void(bool)> onAvailable;

 private:
  struct Shared;
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT handle(UINT, WPARAM, LPARAM);
  void menu();
  void wake(bool again);

  std::shared_ptr<Shared> shared_;
  HWND hwnd_ = nullptr;
  HANDLE thread_ = nullptr;
  UINT taskbarCreated_ = 0;
  bool available_ = false;
  bool paused_ = false;
};

}  // namespace tl::desktop_win32
