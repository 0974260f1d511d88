#include "desktop/linux/tray.h"

#include <QPainter>
#include <QPixmap>

namespace tl::desktop_linux {

namespace {

// A round button seen from above: filled while its key is down, an empty
// ring while it is up, two bars while paused. Drawn, so that it needs no
// icon theme and reads at any size.
QIcon drawn(int state) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal pen = size / 8.0;
    const QRectF ring(pen, pen, size - 2 * pen, size - 2 * pen);
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), pen));
    p.setBrush(state == 1 ? QColor(0x2e, 0x9d, 0x3a) : Qt::transparent);
    p.drawEllipse(ring);
    if (state == 2) {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x30, 0x30, 0x30));
      const qreal w = size / 8.0, h = size / 2.5, top = (size - h) / 2;
      p.drawRect(QRectF(size / 2.0 - 1.5 * w, top, w, h));
      p.drawRect(QRectF(size / 2.0 + 0.5 * w, top, w, h));
    }
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace

Tray::Tray() {
  auto call = [](std::function<void()>& f) {
    return [&f] {
      if (f) f();
    };
  };
  QObject::connect(menu_.addAction(QStringLiteral("Fenster &anzeigen")), &QAction::triggered, call(onShowWindow));
  QObject::connect(menu_.addAction(QString::fromUtf8("&Einstellungen…")), &QAction::triggered, call(onSettings));
  pause_ = menu_.addAction(QStringLiteral("&Pausieren"));
  QObject::connect(pause_, &QAction::triggered, call(onPause));
  menu_.addSeparator();
  QObject::connect(menu_.addAction(QStringLiteral("&Beenden")), &QAction::triggered, call(onQuit));
  icon_.setContextMenu(&menu_);
  // A click on the icon brings the window, as people expect of one.
  QObject::connect(&icon_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger && onShowWindow) onShowWindow();
  });
  setStatus("Tastlink", false, false);
}

bool Tray::available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void Tray::show() {
  if (available()) icon_.show();
}

void Tray::setStatus(const std::string& text, bool pressed, bool paused) {
  icon_.setToolTip(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  pause_->setText(paused ? QStringLiteral("&Fortsetzen") : QStringLiteral("&Pausieren"));
  const int state = paused ? 2 : pressed ? 1 : 0;
  if (state != shown_) icon_.setIcon(drawn(state));
  shown_ = state;
}

}  // namespace tl::desktop_linux
