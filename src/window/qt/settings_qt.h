// The settings window in Qt Widgets: a page per switch and one for the
// start, the line lamps under them, OK / Abbrechen / Übernehmen. The logic
// behind the controls is the portable one (src/app/settings_dialog.h).
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <functional>

#include "window/settings_controls.h"

namespace tl::window_qt {

class QtSettings : public QDialog, public SettingsControls {
 public:
  explicit QtSettings(QWidget* parent);

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

  std::function<void()> onOk, onCancel, onApply;
  std::function<void(int row)> onDetect;

 protected:
  void reject() override;

 private:
  QCheckBox* box(Check which) const;
  struct Row {
    QComboBox* line;
    QComboBox* key;
    QComboBox* mode;
    QCheckBox* invert;
    QSpinBox* debounce;
    QPushButton* detect;
    QLabel* hint;
  };
  Row rows_[kRows];
  QComboBox* port_;
  QCheckBox* minimized_;
  QCheckBox* waitForPort_;
  QCheckBox* autostart_;
  QCheckBox* tray_;
  QLabel* trayHint_;
  QLabel* lamps_[4];
  QLabel* overrideNote_;
};

}  // namespace tl::window_qt
