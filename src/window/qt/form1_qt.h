// The main window in Qt Widgets: the controls at their twip layout, and the
// toolkit's events routed to the handlers.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QWidget>
#include <functional>

#include "window/form1.h"

namespace tl::window_qt {

// 15 twips make a pixel at 96 dpi; other densities scale with it.
int twipsToPixels(int twips, double dpi);

class QtForm1 : public QWidget, public FormControls {
 public:
  // `dpi` is the logical density the layout is made for.
  explicit QtForm1(double dpi);

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

  // Tooltip of a new list entry: the device the COM number stands for.
  std::function<std::string(const std::string& entry)> entryToolTip;
  // A choice from the list by the user (also of the entry already chosen).
  std::function<void()> onComboClick;
  // "Einstellungen…" from the context menu or Strg+Komma.
  std::function<void()> onSettings;
  // "Pausieren" / "Fortsetzen" in the context menu, and whether paused.
  std::function<void()> onPause;
  std::function<bool()> paused;
  // The status text changed (for the tray's tooltip and icon).
  std::function<void(const std::string&)> onStatus;
  // Whether minimizing hides the window in the tray instead.
  std::function<bool()> hideWhenMinimized;
  // The window is closing; runs before it goes.
  std::function<void()> onClose;
  // Runs a timer's task (the program wraps it as it wraps line reports).
  std::function<void(std::function<void()>&)> runTask = [](std::function<void()>& t) { t(); };

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QComboBox* Combo1;
  QPlainTextEdit* Text1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The window's own items, at the end of whichever menu is shown.
  void addOwnItems(QMenu* menu);
};

}  // namespace tl::window_qt
