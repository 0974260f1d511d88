// The tray icon: the key's state at a glance, the status text as its
// tooltip, and a menu for what the window offers. Through Qt's tray, which
// speaks the desktop's status-notifier service where one runs.
#pragma once

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <functional>
#include <string>

namespace tl::desktop_linux {

class Tray {
 public:
  Tray();
  // Whether the desktop shows tray icons at all.
  static bool available();
  // Shows the icon (where there is a tray).
  void show();
  void setStatus(const std::string& text, bool pressed, bool paused);

  std::function<void()> onShowWindow, onSettings, onPause, onQuit;

  // For tests: what the user sees.
  QMenu& menu() { return menu_; }
  QString toolTip() const { return icon_.toolTip(); }
  QAction* pauseAction() { return pause_; }

 private:
  QMenu menu_;
  QSystemTrayIcon icon_;
  QAction* pause_;
  int shown_ = -1;  // which icon is up: 0 released, 1 pressed, 2 paused
};

}  // namespace tl::desktop_linux
