#include "window/qt/form1_qt.h"

#include "window/layout.h"
#include "window/qt/accessible_qt.h"

#include <QAccessible>
#include <QShortcut>
#include <QTimer>
#include <QAbstractItemView>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QMessageBox>
#include <cmath>

namespace tl::window_qt {

namespace {

QString q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

int twipsToPixels(int twips, double dpi) { return layout::twipsToPixels(twips, dpi); }

QtForm1::QtForm1(double dpi)
    : Label1(new QLabel(this)),
      Label2(new QLabel(QString::fromUtf8(layout::kPortCaption), this)),
      Label3(new QLabel(QString::fromUtf8(layout::kWiringHint), this)),
      Combo1(new QComboBox(this)),
      Text1(new QPlainTextEdit(this)) {
  setWindowTitle(QStringLiteral("Tastlink"));
  setObjectName(QStringLiteral("Form1"));
  Label1->setObjectName(QStringLiteral("Label1"));
  Label2->setObjectName(QStringLiteral("Label2"));
  Label3->setObjectName(QStringLiteral("Label3"));
  Combo1->setObjectName(QStringLiteral("Combo1"));
  Text1->setObjectName(QStringLiteral("Text1"));
  // Liberation Sans keeps Arial's metrics; at 10 px a 96 dpi screen every
  // text fits the box the layout gives it ("COM-Port:" is the tightest).
  QFont font(QStringLiteral("Liberation Sans"));
  font.setPixelSize(twipsToPixels(150, dpi));
  setFont(font);

  auto place = [dpi](QWidget* w, const layout::Box& b) {
    w->setGeometry(twipsToPixels(b.left, dpi), twipsToPixels(b.top, dpi), twipsToPixels(b.width, dpi),
                   twipsToPixels(b.height, dpi));
  };
  setFixedSize(twipsToPixels(layout::kClientWidth, dpi), twipsToPixels(layout::kClientHeight, dpi));
  place(Label1, layout::kLabel1);
  place(Label2, layout::kLabel2);
  place(Combo1, layout::kCombo1);
  place(Text1, layout::kText1);
  place(Label3, layout::kLabel3);

  for (QLabel* l : {Label1, Label2, Label3}) l->setFocusPolicy(Qt::NoFocus);
  Combo1->setEditable(false);
  // At 33 px the style's own arrow button leaves the number no room; a
  // narrower button keeps "16" readable in the box the layout gives.
  Combo1->setStyleSheet(QStringLiteral("QComboBox { padding: 0px 0px 0px %1px; }"
                                       "QComboBox::drop-down { width: %2px; }")
                            .arg(twipsToPixels(45, dpi))
                            .arg(twipsToPixels(195, dpi)));
  // The list's own entries are short; a popup as narrow as the box would
  // still show them, but a little room reads better.
  Combo1->view()->setMinimumWidth(twipsToPixels(700, dpi));
  Text1->setTabChangesFocus(true);
  setTabOrder(Text1, Combo1);

  nameListsByTheirLabels();
  // Names for screen readers; nothing of this shows.
  Combo1->setAccessibleName(QString::fromUtf8(layout::kPortCaption));
  Label2->setBuddy(Combo1);
  Text1->setAccessibleName(QStringLiteral("Notizfeld"));
  Text1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Text1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QMenu* menu = Text1->createStandardContextMenu(pos);
    addOwnItems(menu);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(Text1->viewport()->mapToGlobal(pos));
  });
  auto* settings = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
  settings->setContext(Qt::WindowShortcut);
  connect(settings, &QShortcut::activated, this, [this] {
    if (onSettings) onSettings();
  });

  Combo1->installEventFilter(this);
  connect(Combo1, &QComboBox::activated, this, [this](int) {
    if (onComboClick) onComboClick();
  });
}

void QtForm1::setLabel1Caption(const std::string& text) { setLabel1Shortened(text, text); }

void QtForm1::setLabel1Shortened(const std::string& shown, const std::string& whole) {
  // A screen reader reads the whole text where the line shows less. Read
  // out as it changes (a screen reader user hears the key go down), once:
  // Qt tells of a new accessible name, and of a new text while there is
  // none, so the name is set on the side where the other stays quiet.
  const QString name = shown == whole ? QString() : q(whole);
  const bool told = Label1->accessibleName() != name || (name.isEmpty() && Label1->text() != q(shown));
  if (!name.isEmpty()) Label1->setAccessibleName(name);
  Label1->setText(q(shown));
  if (name.isEmpty()) Label1->setAccessibleName(name);
  if (!told) {
    QAccessibleEvent changed(Label1, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
  }
  if (onStatus) onStatus(whole);
}

void QtForm1::addOwnItems(QMenu* menu) {
  if (!menu->isEmpty()) menu->addSeparator();
  QAction* settings = menu->addAction(QString::fromUtf8("&Einstellungen…"));
  settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  connect(settings, &QAction::triggered, this, [this] {
    if (onSettings) onSettings();
  });
  if (!onPause) return;
  QAction* pause = menu->addAction(paused && paused() ? QStringLiteral("&Fortsetzen") : QStringLiteral("&Pausieren"));
  connect(pause, &QAction::triggered, this, [this] {
    if (onPause) onPause();
  });
}

void QtForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Hidden once the minimizing is done, or the window manager would show
  // the window's taskbar entry again.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && hideWhenMinimized && hideWhenMinimized())
    QTimer::singleShot(0, this, [this] { hide(); });
}

void QtForm1::contextMenuEvent(QContextMenuEvent* event) {
  auto* menu = new QMenu(this);
  addOwnItems(menu);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

bool QtForm1::label1Fits(const std::string& text) const {
  return Label1->fontMetrics().horizontalAdvance(q(text)) <= Label1->contentsRect().width();
}

void QtForm1::comboAddItem(const std::string& text) { comboInsertItem(Combo1->count(), text); }

void QtForm1::comboInsertItem(int index, const std::string& text) {
  const QSignalBlocker quiet(Combo1);
  Combo1->insertItem(index, q(text));
  if (entryToolTip) Combo1->setItemData(index, q(entryToolTip(text)), Qt::ToolTipRole);
}

void QtForm1::comboRemoveItem(int index) {
  const QSignalBlocker quiet(Combo1);
  Combo1->removeItem(index);
}

void QtForm1::showNote(const std::string& text) {
  // Not modal: the window goes on working while the note is up.
  auto* note = new QMessageBox(QMessageBox::Information, QStringLiteral("Tastlink"), q(text), QMessageBox::Ok, this);
  note->setObjectName(QStringLiteral("note"));
  note->setAttribute(Qt::WA_DeleteOnClose);
  note->setWindowModality(Qt::NonModal);
  note->show();
}

int QtForm1::comboListCount() const { return Combo1->count(); }

std::string QtForm1::comboItem(int index) const { return Combo1->itemText(index).toStdString(); }

void QtForm1::comboShowSelection(int index) {
  const QSignalBlocker quiet(Combo1);
  Combo1->setCurrentIndex(index);
}

std::string QtForm1::comboText() const { return Combo1->currentText().toStdString(); }

void QtForm1::text1SetFocus() { Text1->setFocus(Qt::OtherFocusReason); }

bool QtForm1::eventFilter(QObject* watched, QEvent* event) {
  // A wheel notch over the closed list would choose the next port, and so
  // let a held Shift go, for a scroll that was meant for something else.
  if (watched == Combo1 && event->type() == QEvent::Wheel) return true;
  return QWidget::eventFilter(watched, event);
}

void QtForm1::closeEvent(QCloseEvent* event) {
  if (onClose) onClose();
  event->accept();
}

void QtForm1::after(int ms, std::function<void()> task) {
  QTimer::singleShot(ms, Qt::PreciseTimer, this, [this, task = std::move(task)]() mutable { runTask(task); });
}

}  // namespace tl::window_qt
