// The Qt main window on the offscreen platform: layout, texts, focus order,
// and that every text fits its box in the chosen font.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QApplication>
#include <QTabWidget>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QWheelEvent>

#include "desktop/linux/tray.h"
#include "window/qt/form1_qt.h"
#include "window/qt/settings_qt.h"

using tl::KeyChord;
using tl::KeyInfo;
using tl::keyTable;
using tl::window_qt::QtForm1;

namespace {

// The application lives in main(), so that it goes before Qt's own statics.
void app() {}

struct Box {
  int left, top, width, height;
};

Box px(const QWidget* w) { return {w->x(), w->y(), w->width(), w->height()}; }
bool operator==(const Box& a, const Box& b) {
  return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
}
std::ostream& operator<<(std::ostream& o, const Box& b) {
  return o << b.left << "," << b.top << " " << b.width << "x" << b.height;
}

}  // namespace

TEST(Window, LayoutFollowsTheTwipTableAtAnyDensity) {
  app();
  QtForm1 f(96);
  EXPECT_EQ(f.width(), 211);  // 3165 twips
  EXPECT_EQ(f.height(), 126); // 1890 twips
  EXPECT_EQ(px(f.Label1), (Box{0, 7, 120, 15}));
  EXPECT_EQ(px(f.Label2), (Box{126, 7, 50, 15}));
  EXPECT_EQ(px(f.Combo1), (Box{178, 4, 33, 21}));
  EXPECT_EQ(px(f.Text1), (Box{0, 28, 211, 78}));
  EXPECT_EQ(px(f.Label3), (Box{0, 112, 211, 15}));
  EXPECT_EQ(f.Combo1->x() + f.Combo1->width(), f.width()) << "the list meets the right edge";

  QtForm1 big(144);
  EXPECT_EQ(big.width(), 317);
  EXPECT_EQ(px(big.Text1), (Box{0, 42, 317, 117}));
}

TEST(Window, TextsAndControlKinds) {
  app();
  QtForm1 f(96);
  EXPECT_EQ(f.windowTitle(), "Tastlink");
  EXPECT_EQ(f.Label1->text(), "");
  EXPECT_EQ(f.Label2->text(), "COM-Port:");
  EXPECT_EQ(f.Label3->text(), "D-Sub9 - Taster zwischen Pin7 und Pin8");
  EXPECT_EQ(f.Combo1->count(), 0);
  EXPECT_FALSE(f.Combo1->isEditable()) << "the list only offers its entries";
  EXPECT_TRUE(f.Text1->toPlainText().isEmpty());
  f.setLabel1Caption("SHIFT gedrückt");
  EXPECT_EQ(f.Label1->text(), QString::fromUtf8("SHIFT gedrückt"));
}

TEST(Window, TextFieldHasFocusFirstAndTabReachesTheList) {
  app();
  QtForm1 f(96);
  f.comboAddItem("3");
  f.Text1->setFocus();
  f.show();
  QApplication::setActiveWindow(&f);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  EXPECT_EQ(QApplication::focusWidget(), f.Text1);
  QTest::keyClicks(f.Text1, "ab");
  EXPECT_EQ(f.Text1->toPlainText(), "ab");
  QTest::keyClick(f.Text1, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), f.Combo1);
  QTest::keyClick(f.Combo1, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), f.Text1) << "labels take no focus";
  for (QLabel* l : {f.Label1, f.Label2, f.Label3}) EXPECT_EQ(l->focusPolicy(), Qt::NoFocus);
}

// Both right-click menus, the window's and the text field's edit menu, end
// with the window's own items; "Pausieren" reads "Fortsetzen" while paused.
TEST(Window, RightClickMenusEndWithSettingsAndPause) {
  app();
  QtForm1 f(96);
  bool paused = false;
  int pauses = 0;
  f.paused = [&] { return paused; };
  f.onPause = [&] { ++pauses; };
  f.show();
  auto opened = [&](const std::function<void()>& open) {
    open();
    QMenu* menu = nullptr;
    for (QMenu* m : f.findChildren<QMenu*>())
      if (m->isVisible()) menu = m;
    if (!menu) return std::string("no menu");
    const QList<QAction*> items = menu->actions();
    const QString last = items[items.size() - 2]->text() + "|" + items.last()->text();
    items.last()->trigger();
    menu->close();
    return QString("%1 items: %2").arg(items.size() > 2 ? "more" : "two", last).toStdString();
  };
  QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(100, 12), f.mapToGlobal(QPoint(100, 12)));
  EXPECT_EQ(opened([&] { QApplication::sendEvent(&f, &click); }), "two items: &Einstellungen…|&Pausieren");
  paused = true;
  EXPECT_EQ(opened([&] { emit f.Text1->customContextMenuRequested(QPoint(5, 5)); }),
            "more items: &Einstellungen…|&Fortsetzen");
  EXPECT_EQ(pauses, 2);
}

TEST(Window, ProgramSelectionIsSilentUserChoiceIsAClickEvenOfTheSameEntry) {
  app();
  QtForm1 f(96);
  int clicks = 0;
  f.onComboClick = [&] { ++clicks; };
  f.entryToolTip = [](const std::string& e) { return "/dev/ttyS" + e; };
  f.comboAddItem("3");
  f.comboAddItem("12");
  f.comboShowSelection(0);
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(f.comboText(), "3");
  EXPECT_EQ(f.Combo1->itemData(1, Qt::ToolTipRole).toString(), "/dev/ttyS12");
  emit f.Combo1->activated(0);  // what the popup emits for a chosen row, changed or not
  EXPECT_EQ(clicks, 1);

  // A stray wheel notch over the closed list chooses nothing; the keyboard's
  // arrows still do.
  f.show();
  const QPointF at(5, 5);
  QWheelEvent wheel(at, f.Combo1->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                    false);
  QApplication::sendEvent(f.Combo1, &wheel);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(f.comboText(), "3");
  QTest::keyClick(f.Combo1, Qt::Key_Down);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(f.comboText(), "12");
}

TEST(Window, EveryTextFitsItsBoxAt96Dpi) {
  app();
  QtForm1 f(96);
  const QFontMetrics fm(f.font());
  EXPECT_EQ(QFontInfo(f.font()).family(), "Liberation Sans") << "install fonts-liberation";
  auto fits = [&](QLabel* l, const char* text) {
    EXPECT_LE(fm.horizontalAdvance(QString::fromUtf8(text)), l->contentsRect().width()) << text;
    EXPECT_LE(fm.height(), l->contentsRect().height()) << text;
  };
  fits(f.Label1, "Kein Kabel gefunden");
  fits(f.Label1, "SHIFT gedrückt");
  fits(f.Label1, "SHIFT losgelassen");
  // The status line's last resorts hold every key, however long its name.
  EXPECT_TRUE(f.label1Fits("LEERTASTE losgelassen"));
  EXPECT_FALSE(f.label1Fits("STRG+UMSCHALT+F5 losgelassen"));
  for (const KeyInfo& k : keyTable()) fits(f.Label1, ("\u2026+" + KeyChord(&k).label(true) + " gedr.").c_str());
  fits(f.Label2, "COM-Port:");
  fits(f.Label3, "D-Sub9 - Taster zwischen Pin7 und Pin8");

  f.comboAddItem("16");
  f.comboShowSelection(0);
  QStyleOptionComboBox opt;
  opt.initFrom(f.Combo1);
  opt.editable = false;
  opt.currentText = "16";
  const QRect field = f.Combo1->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, f.Combo1);
  EXPECT_LE(fm.horizontalAdvance("16"), field.width());
  EXPECT_LE(fm.height(), field.height());
}

// Where no desktop tray runs (as here), the icon's state and menu are what
// is left to check.
TEST(Tray, MenuTooltipAndPauseFollowTheStatus) {
  app();
  tl::desktop_linux::Tray tray;
  QStringList items;
  for (QAction* a : tray.menu().actions())
    if (!a->isSeparator()) items << a->text();
  EXPECT_EQ(items.join('|').toStdString(), "Fenster &anzeigen|&Einstellungen…|&Pausieren|&Beenden");
  int paused = 0;
  tray.onPause = [&] { ++paused; };
  tray.pauseAction()->trigger();
  EXPECT_EQ(paused, 1);
  tray.setStatus("STRG gedrückt", true, false);
  EXPECT_EQ(tray.toolTip().toStdString(), "STRG gedrückt");
  tray.setStatus("Pausiert", false, true);
  EXPECT_EQ(tray.pauseAction()->text().toStdString(), "&Fortsetzen");
}

// What a keyboard or screen reader user meets in the settings window, page
// by page: the controls in Tab order, each named as its label reads, each
// with an Alt+letter of its own.
TEST(SettingsWindow, TabOrderNamesAndMnemonics) {
  app();
  tl::window_qt::QtSettings dialog(nullptr);
  dialog.show();
  auto* tabs = dialog.findChild<QTabWidget*>();
  for (int page = 0; page < tabs->count(); page += tabs->count() - 1) {  // a switch's page and the last
    tabs->setCurrentIndex(page);
    QStringList order;
    QString letters;
    for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain()) {
      // As Tab goes: shown, enabled, taking focus by Tab; a control's own
      // parts (a list's edit field, the tabs' bar) are the control.
      QWidget* parent = w->parentWidget();
      const bool part = qobject_cast<QComboBox*>(parent) || qobject_cast<QAbstractSpinBox*>(parent) ||
                        qobject_cast<QTabWidget*>(parent);
      if (part || !w->isVisible() || !w->isEnabled() || !(w->focusPolicy() & Qt::TabFocus)) continue;
      QStringList labels;
      if (w == tabs)
        for (int i = 0; i < tabs->count(); ++i) labels << tabs->tabText(i);
      else if (auto* button = qobject_cast<QAbstractButton*>(w)) labels << button->text();
      for (QLabel* l : dialog.findChildren<QLabel*>())
        if (l->buddy() == w) labels << l->text();
      ASSERT_FALSE(labels.isEmpty()) << w->metaObject()->className();
      for (const QString& label : labels) {
        const qsizetype amp = label.indexOf('&');
        ASSERT_GE(amp, 0) << label.toStdString();
        EXPECT_FALSE(letters.contains(label[amp + 1].toLower())) << label.toStdString();
        letters += label[amp + 1].toLower();
      }
      if (w == tabs) continue;
      const QString name = QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
      EXPECT_EQ(name, QString(labels[0]).remove('&').remove(':')) << name.toStdString();
      order << name;
    }
    EXPECT_EQ(order.join('|').toStdString(), page == 0 ? "Leitung|Taste|Betriebsart|Öffner (in Ruhe geschlossen)|"
                                                         "Entprellung (ms)|Schalter erkennen|OK|Abbrechen|Übernehmen"
                                                       : "Start-Anschluss|Minimiert starten|Auf Adapter warten|"
                                                         "Mit der Sitzung starten|In den Infobereich minimieren|"
                                                         "OK|Abbrechen|Übernehmen");
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The layout and font checks are made for the offscreen platform's 96 dpi.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication a(argc, argv);
  return RUN_ALL_TESTS();
}
