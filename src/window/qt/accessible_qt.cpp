#include "window/qt/accessible_qt.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>

namespace tl::window_qt {

namespace {

class NamedList : public QAccessibleWidget {
 public:
  explicit NamedList(QComboBox* list) : QAccessibleWidget(list, QAccessible::ComboBox) {}
  QString text(QAccessible::Text t) const override {
    auto* list = static_cast<QComboBox*>(widget());
    if (t == QAccessible::Name) return list->accessibleName();
    if (t == QAccessible::Value) return list->currentText();
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override { return QAccessibleWidget::actionNames() << showMenuAction(); }
  void doAction(const QString& action) override {
    if (action == showMenuAction()) return static_cast<QComboBox*>(widget())->showPopup();
    QAccessibleWidget::doAction(action);
  }
};

QAccessibleInterface* named(const QString& className, QObject* object) {
  auto* list = className == QLatin1String("QComboBox") ? qobject_cast<QComboBox*>(object) : nullptr;
  return list && !list->accessibleName().isEmpty() ? new NamedList(list) : nullptr;
}

}  // namespace

void nameListsByTheirLabels() {
  static const bool installed = (QAccessible::installFactory(named), true);
  (void)installed;
}

}  // namespace tl::window_qt
