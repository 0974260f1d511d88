#include "window/qt/settings_qt.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "serial/mscomm.h"
#include "window/qt/accessible_qt.h"

namespace tl::window_qt {

namespace {

QString q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The line list's entries in order: none, then the lines:: bits.
constexpr uint8_t kLineOf[] = {0, lines::CTS, lines::DSR, lines::DCD, lines::RI};
constexpr const char* kLineNames[] = {"CTS", "DSR", "DCD", "RI"};

int lampIndex(uint8_t line) {
  for (int i = 0; i < 4; ++i)
    if (kLineOf[i + 1] == line) return i;
  return 0;
}

// A labelled row whose control a screen reader names as the label reads.
template <class W>
W* addRow(QFormLayout* form, const char* label, W* control) {
  auto* l = new QLabel(QString::fromUtf8(label));
  l->setBuddy(control);
  control->setAccessibleName(l->text().remove('&').remove(':'));
  form->addRow(l, control);
  return control;
}

}  // namespace

QtSettings::QtSettings(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tastlink - Einstellungen"));
  nameListsByTheirLabels();
  setObjectName(QStringLiteral("Settings"));
  auto* tabs = new QTabWidget;
  // Every page's tab in sight: the window grows to show them.
  tabs->setUsesScrollButtons(false);
  for (int i = 0; i < kRows; ++i) {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    Row& r = rows_[i];
    r.line = addRow(form, "&Leitung:", new QComboBox);
    r.line->addItem(QStringLiteral("– (kein Schalter)"));
    for (const char* n : kLineNames) r.line->addItem(QString::fromLatin1(n));
    r.key = addRow(form, "&Taste:", new QComboBox);
    r.key->setEditable(true);
    r.key->setInsertPolicy(QComboBox::NoInsert);
    r.mode = addRow(form, "&Betriebsart:", new QComboBox);
    r.mode->addItems({QStringLiteral("halten"), QStringLiteral("umschalten")});
    r.invert = new QCheckBox(QString::fromUtf8("Ö&ffner (in Ruhe geschlossen)"));
    form->addRow(r.invert);
    r.debounce = addRow(form, "&Entprellung (ms):", new QSpinBox);
    r.debounce->setRange(0, 1000);
    r.detect = new QPushButton(QStringLiteral("Schalter e&rkennen"));
    r.hint = new QLabel;
    r.hint->setObjectName(QStringLiteral("hint%1").arg(i + 1));
    auto* detectRow = new QHBoxLayout;
    detectRow->addWidget(r.detect);
    detectRow->addWidget(r.hint, 1);
    form->addRow(detectRow);
    connect(r.detect, &QPushButton::clicked, this, [this, i] {
      if (onDetect) onDetect(i);
    });
    tabs->addTab(page, QStringLiteral("Schalter &%1").arg(i + 1));
  }
  auto* general = new QWidget;
  auto* form = new QFormLayout(general);
  port_ = addRow(form, "&Start-Anschluss:", new QComboBox);
  port_->setEditable(true);
  port_->setInsertPolicy(QComboBox::NoInsert);
  minimized_ = new QCheckBox(QStringLiteral("&Minimiert starten"));
  waitForPort_ = new QCheckBox(QStringLiteral("Auf &Adapter warten"));
  autostart_ = new QCheckBox(QStringLiteral("Mit der Sit&zung starten"));
  tray_ = new QCheckBox(QStringLiteral("In den &Infobereich minimieren"));
  for (QCheckBox* c : {minimized_, waitForPort_, autostart_, tray_}) form->addRow(c);
  trayHint_ = new QLabel;
  trayHint_->setWordWrap(true);
  trayHint_->hide();
  form->addRow(trayHint_);
  tabs->addTab(general, QStringLiteral("All&gemein"));

  auto* lampBox = new QGroupBox(QStringLiteral("Leitungen des offenen Anschlusses"));
  auto* lampRow = new QHBoxLayout(lampBox);
  for (int i = 0; i < 4; ++i) {
    lamps_[i] = new QLabel;
    lamps_[i]->setAlignment(Qt::AlignCenter);
    lamps_[i]->setMargin(3);
    lampRow->addWidget(lamps_[i]);
    setLamp(kLineOf[i + 1], false);
  }
  overrideNote_ = new QLabel;
  overrideNote_->setWordWrap(true);
  overrideNote_->setObjectName(QStringLiteral("overrides"));
  overrideNote_->hide();

  auto* buttons = new QDialogButtonBox;
  QPushButton* ok = buttons->addButton(QStringLiteral("&OK"), QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(QStringLiteral("Abbre&chen"), QDialogButtonBox::RejectRole);
  QPushButton* apply = buttons->addButton(QString::fromUtf8("&Übernehmen"), QDialogButtonBox::ApplyRole);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] {
    if (onOk) onOk();
  });
  connect(cancel, &QPushButton::clicked, this, &QtSettings::reject);
  connect(apply, &QPushButton::clicked, this, [this] {
    if (onApply) onApply();
  });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(lampBox);
  layout->addWidget(overrideNote_);
  layout->addWidget(buttons);
}

void QtSettings::setKeyChoices(const std::vector<std::string>& names) {
  for (Row& r : rows_) {
    r.key->clear();
    for (const std::string& n : names) r.key->addItem(q(n));
  }
}

void QtSettings::setRow(int row, const SwitchRow& v) {
  Row& r = rows_[row];
  int line = 0;
  for (int i = 0; i < 5; ++i)
    if (kLineOf[i] == v.line) line = i;
  r.line->setCurrentIndex(line);
  r.key->setCurrentText(q(v.key));
  r.mode->setCurrentIndex(v.toggle ? 1 : 0);
  r.invert->setChecked(v.invert);
  r.debounce->setValue(v.debounceMs);
}

SwitchRow QtSettings::row(int row) const {
  const Row& r = rows_[row];
  return {kLineOf[std::max(r.line->currentIndex(), 0)], r.key->currentText().toStdString(),
          r.mode->currentIndex() == 1, r.invert->isChecked(), r.debounce->value()};
}

void QtSettings::setPortChoices(const std::vector<std::string>& choices) {
  port_->clear();
  for (const std::string& c : choices) port_->addItem(q(c));
}

void QtSettings::setPort(const std::string& text) { port_->setCurrentText(q(text)); }

std::string QtSettings::port() const { return port_->currentText().toStdString(); }

QCheckBox* QtSettings::box(Check which) const {
  switch (which) {
    case Check::Minimized: return minimized_;
    case Check::WaitForPort: return waitForPort_;
    case Check::Autostart: return autostart_;
    case Check::Tray: break;
  }
  return tray_;
}

void QtSettings::setCheck(Check which, bool on) { box(which)->setChecked(on); }

bool QtSettings::check(Check which) const { return box(which)->isChecked(); }

void QtSettings::setTrayHint(const std::string& text) {
  trayHint_->setText(q(text));
  trayHint_->setVisible(!text.empty());
}

void QtSettings::setLamp(uint8_t line, bool on) {
  QLabel* lamp = lamps_[lampIndex(line)];
  const QString text = QString::fromLatin1(kLineNames[lampIndex(line)]) + (on ? " an" : " aus");
  if (lamp->text() == text) return;
  lamp->setText(text);
  lamp->setAccessibleName(text);
  // The words say it; the colour lets it be seen across the room.
  lamp->setStyleSheet(on ? QStringLiteral("background: #2e9d3a; color: white; border-radius: 3px;")
                         : QStringLiteral("background: #d0d0d0; color: black; border-radius: 3px;"));
}

void QtSettings::setDetectHint(int row, const std::string& text) { rows_[row].hint->setText(q(text)); }

void QtSettings::setOverrideNote(const std::string& text) {
  overrideNote_->setText(q(text));
  overrideNote_->setVisible(!text.empty());
}

void QtSettings::showError(const std::string& text) {
  QMessageBox::warning(this, QStringLiteral("Tastlink - Einstellungen"), q(text));
}

void QtSettings::closeWindow() { hide(); }

void QtSettings::reject() {
  if (onCancel) onCancel();
  hide();
}

}  // namespace tl::window_qt
