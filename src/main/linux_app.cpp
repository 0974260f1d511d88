#include "main/linux_app.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QMessageBox>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <unistd.h>

#include "app/session.h"
#include "desktop/linux/tray.h"
#include "app/settings_dialog.h"
#include "desktop/linux/session_check.h"
#include "desktop/linux/single_instance.h"
#include "window/form1.h"
#include "window/qt/form1_qt.h"
#include "window/qt/settings_qt.h"
#include "core/runtime.h"

namespace tl::app {

namespace {

int signalPipe[2] = {-1, -1};
void (*crashKeysUp)() noexcept = nullptr;

// A signal handler may do almost nothing; it hands the signal to the event
// loop, which lets Shift up and closes the line like a closed window.
void onSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &b, 1);
  errno = saved;
}

// A crash cannot wait for the event loop, and dumping core may take a
// while: let the key up now, then die as the signal says.
void onCrash(int sig) {
  if (crashKeysUp) crashKeysUp();
  ::raise(sig);  // SA_RESETHAND made the default action current again
}

// Every signal whose default would end the program ends it through the
// event loop, as a closed window does; those whose default stops it let
// the key up first (SIGTTIN and SIGTTOU too: a background run that touches
// its terminal gets them unasked). SIGKILL and SIGSTOP cannot be caught:
// there the kernel (uinput) or the key watcher (XTest) lets the key up.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
constexpr int kStoppingSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void installSignals(void (*keysUpNow)() noexcept) {
  crashKeysUp = keysUpNow;
  signal(SIGPIPE, SIG_IGN);  // a vanished peer is an error return, not death
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = onSignal;
  sa.sa_flags = SA_RESTART;
  for (int sig : kEndingSignals) sigaction(sig, &sa, nullptr);
  for (int sig : kStoppingSignals) sigaction(sig, &sa, nullptr);
  sa.sa_handler = onCrash;
  sa.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : kCrashSignals) sigaction(sig, &sa, nullptr);
}

void showError(const Error& e) {
  // Also on stderr, for journals and for sessions nobody watches.
  std::fprintf(stderr, "Tastlink: %s\n", errorReportText(e).c_str());
  std::fflush(stderr);
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Tastlink"),
                  QString::fromStdString(errorReportText(e)), QMessageBox::Ok);
  box.exec();
}

}  // namespace

int run(int argc, char** argv, const Platform& platform) {
  if (platform.runHelperIfAsked)
    if (const int rc = platform.runHelperIfAsked(); rc >= 0) return rc;
  std::string told;  // the last mistake told
  Session session({.showReport = showError,
                   .tell = [](const std::string& text) { std::fputs(text.c_str(), stdout); },
                   .tellMistake = [&told](const std::string& text) {
                     std::fputs(text.c_str(), stderr);
                     told = text;
                   },
                   .hideWindow = [] {},  // until there is a window
                   .quit = [](int code) { QApplication::exit(code); }});
  // A mistake is also shown in a box where nobody reads stderr (started
  // from the menu, with the session, by a launcher that was given options).
  auto toldInBox = [&](int rc) {
    if (!told.empty() && platform.settingsMistakeBox && !::isatty(STDERR_FILENO) && desktop_linux::desktopUnreachable().empty()) {
      QApplication qapp(argc, argv);
      QMessageBox box(QMessageBox::Warning, QStringLiteral("Tastlink"),
                      QString::fromStdString(told.substr(told.find(' ') + 1)).trimmed(), QMessageBox::Ok);
      box.exec();
    }
    return rc;
  };
  if (const auto rc = session.commandLine({argv + std::min(argc, 1), argv + argc})) return toldInBox(*rc);
  // Before the settings: a broken file must not keep the entry from going.
  if (const auto on = session.autostart())
    return session.autostartDone(*on, platform.setAutostart ? platform.setAutostart(*on) : "nicht unterstützt");
  if (const auto rc = session.configure(platform.readSettings)) return toldInBox(*rc);
  if (const std::string why = desktop_linux::desktopUnreachable(); !why.empty()) {
    std::fprintf(stderr, "Tastlink: %s\n", why.c_str());
    return 1;
  }
  // One Tastlink per user (per program name, so that the test program runs
  // beside the real one): decided before any port is looked at.
  const std::string programName = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "tastlink";
  desktop_linux::SingleInstance instance(programName);
  // A copy for a port of its own is asked first: it may run beside the
  // first copy, which would not know it.
  std::optional<desktop_linux::SingleInstance> portInstance;
  if (!session.portOption().empty()) portInstance.emplace(programName, session.portOption());
  if (portInstance && portInstance->handedOver(session.portOption())) return 0;
  if (instance.handedOver(session.portOption())) return 0;
  installSignals(platform.keysUpNow);
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tastlink"));
  // Qt's own words in German too: the text field's edit menu, "Strg" in
  // the menus' shortcuts. Without Qt's translations they stay English.
  QTranslator qtWords;
  if (qtWords.load(QLocale(QLocale::German), QStringLiteral("qtbase"), QStringLiteral("_"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtWords);
  // Lets Wayland compositors match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tastlink.Tastlink"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("io.github.tastlink.Tastlink")));

  // Signals are read from the first moment on, so that a report shown
  // during start-up ends on them as the window does (QApplication::exit
  // ends every loop, a report's included).
  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
    unsigned char b = 0;
    bool end = false, stop = false;
    while (::read(signalPipe[0], &b, 1) == 1)
      (std::find(std::begin(kStoppingSignals), std::end(kStoppingSignals), b) != std::end(kStoppingSignals) ? stop : end) = true;
    if (end) return session.endRequested();
    if (stop) {
      session.stateSaving();
      ::kill(::getpid(), SIGSTOP);
    }
  });

  instance.serve();
  if (portInstance) portInstance->serve();

  std::unique_ptr<KeyInjector> injector;
  if (!session.prepare([&] { injector = platform.makeKeys(session.settings().usesMouse()); })) return session.exitCode();
  std::string keysNote;  // for the window too
  if (platform.keysNote) {
    const auto [text, inWindow] = platform.keysNote();
    if (!text.empty()) std::fprintf(stderr, "Tastlink: %s\n", text.c_str());
    if (inWindow) keysNote = text;
  }
  Keyboard keys(*injector);
  auto files = platform.makeFiles();
  auto driver = platform.makeLine();

  const double dpi = qapp.primaryScreen() ? qapp.primaryScreen()->logicalDotsPerInchX() : 96.0;
  window_qt::QtForm1 view(dpi);
  MSComm line(*driver, [&view, &session](std::function<void()> task) {
    QMetaObject::invokeMethod(&view, [task = std::move(task), &session] { session.guarded(task); },
                              Qt::QueuedConnection);
  });
  Form1 form(view, line, *files, keys);
  session.attach(form);
  session.setUp(form, platform.portOf, platform.rememberedPort ? platform.rememberedPort() : "", platform.rememberPort);
  view.runTask = [&session](std::function<void()>& task) { session.guarded(task); };
  form.Log = [](const std::string& text) { std::fprintf(stderr, "Tastlink: %s\n", text.c_str()); };
  session.frontEnd().hideWindow = [&view] { view.hide(); };
  view.entryToolTip = [&](const std::string& entry) {
    return platform.deviceOf ? platform.deviceOf(std::atoi(entry.c_str())) : std::string();
  };
  view.onComboClick = [&] { session.guarded([&] { form.Combo1_Click(); }); };

  // The settings window: the file's settings, saved and in force at once,
  // and the lines of the open port, read while it shows.
  window_qt::QtSettings settingsView(&view);
  SettingsDialog settingsDialog(settingsView);
  connectSettings(settingsDialog, session, platform);
  QTimer lampTimer;
  lampTimer.setInterval(30);
  QObject::connect(&lampTimer, &QTimer::timeout, [&] {
    if (!settingsView.isVisible()) return lampTimer.stop();
    session.guarded([&] { settingsDialog.LinesNow(linesNow(line)); });
  });
  settingsView.onOk = [&] { settingsDialog.Ok(); };
  settingsView.onApply = [&] { settingsDialog.Apply(); };
  settingsView.onCancel = [&] { settingsDialog.Cancel(); };
  settingsView.onDetect = [&](int row) { settingsDialog.Detect(row); };
  // The file edited by hand while the program runs: in force once the
  // editor is done; a mistake is shown once and the settings stay.
  QFileSystemWatcher fileWatch;
  QTimer reread;
  reread.setSingleShot(true);
  reread.setInterval(300);
  std::string lastMistake;
  if (platform.settingsPath && platform.readSettings) {
    const QString path = QString::fromStdString(platform.settingsPath());
    // Editors often write a new file and rename it over the old one: the
    // folder says so where the file's own watch would just end.
    QDir().mkpath(QFileInfo(path).absolutePath());
    fileWatch.addPath(QFileInfo(path).absolutePath());
    if (QFileInfo::exists(path)) fileWatch.addPath(path);
    auto changed = [&, path] {
      if (QFileInfo::exists(path) && !fileWatch.files().contains(path)) fileWatch.addPath(path);
      reread.start();
    };
    QObject::connect(&fileWatch, &QFileSystemWatcher::fileChanged, changed);
    QObject::connect(&fileWatch, &QFileSystemWatcher::directoryChanged, changed);
    QObject::connect(&reread, &QTimer::timeout, [&] {
      session.guarded([&] {
        const std::string why = session.fileChanged(platform.readSettings);
        if (!why.empty() && why != lastMistake)
          view.showNote("Die geänderte Einstellungsdatei gilt nicht, Tastlink arbeitet weiter wie bisher.\n\n" + why);
        lastMistake = why;
      });
    });
  }
  // The tray: the key's state and the status at a glance, and a way back
  // to the window when it is hidden there.
  desktop_linux::Tray tray;
  tray.onShowWindow = [&] {
    view.setWindowState(view.windowState() & ~Qt::WindowMinimized);
    view.show();
    view.raise();
    view.activateWindow();
  };
  tray.onSettings = [&] { view.onSettings(); };
  auto togglePause = [&] { session.guarded([&] { form.Pause(!form.Paused()); }); };
  tray.onPause = togglePause;
  view.onPause = togglePause;
  view.paused = [&] { return form.Paused(); };
  tray.onQuit = [] { QApplication::quit(); };
  view.onStatus = [&](const std::string& text) { tray.setStatus(text, keys.anyDown(), form.Paused()); };
  view.hideWhenMinimized = [&] { return session.settings().tray && desktop_linux::Tray::available(); };
  settingsView.setAttribute(Qt::WA_QuitOnClose, false);

  view.onSettings = [&] {
    if (session.ending()) return;
    if (!settingsView.isVisible()) {
      loadSettings(settingsDialog, session, platform, desktop_linux::Tray::available());
      session.guarded([&] { settingsDialog.LinesNow(linesNow(line)); });
      lampTimer.start();
    }
    settingsView.show();
    settingsView.raise();
    settingsView.activateWindow();
  };
  // The list follows the devices; nothing wakes while none come or go.
  std::unique_ptr<comport::DeviceWatch> watch = platform.makeWatch ? platform.makeWatch() : nullptr;
  std::unique_ptr<QSocketNotifier> watchNotifier;
  if (watch && watch->fd() >= 0) {
    watchNotifier = std::make_unique<QSocketNotifier>(watch->fd(), QSocketNotifier::Read);
    QObject::connect(watchNotifier.get(), &QSocketNotifier::activated,
                     [&] { session.guarded([&] { form.PortsChanged(watch->changes()); }); });
  }
  view.onClose = [&] {
    settingsView.hide();
    session.windowClosing();
  };
  // Saving the session's state is not its end (a logout may still be
  // cancelled): let the key up, keep the line; the end comes as aboutToQuit.
  QObject::connect(&qapp, &QGuiApplication::commitDataRequest, [&](QSessionManager&) {
    const bool held = keys.anyDown();
    session.stateSaving();
    // Qt says nothing when a logout is cancelled; a session still going a
    // little later did not end, and the key follows the line again.
    if (held)
      QTimer::singleShot(2000, &view, [&] {
        session.guarded([&] {
          form.Resync();
        });
      });
  });
  QObject::connect(&qapp, &QCoreApplication::aboutToQuit, [&] { session.windowClosing(); });
  bool shown = false;
  auto bringForward = [&] {
    view.setWindowState((view.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    view.show();
    view.raise();
    view.activateWindow();
  };
  // Started minimized with the session, the window would hide what the
  // user must mend.
  bool mustAct = false;
  form.NeedsUser = [&] {
    mustAct = true;
    if (shown) bringForward();
  };
  // A later Tastlink asks for this window; one given another port than
  // the one in use runs beside this one.
  instance.raise = [&](const std::string& port) {
    if (!port.empty()) {
      // The port in use, or waited for: a copy for it would only fight.
      int16_t n = static_cast<int16_t>(comNumber(port));
      if (!n && platform.portOf) n = platform.portOf(port);
      if (n != line.CommPort()) return false;
    }
    if (shown && !session.ending()) bringForward();
    return true;
  };
  if (portInstance) portInstance->raise = instance.raise;
  if (!session.load()) return session.exitCode();
  if (!keysNote.empty()) {
    view.showNote(keysNote);
    mustAct = true;
  }
  view.Text1->setFocus(Qt::OtherFocusReason);
  shown = true;
  tray.show();
  if (session.settings().minimized && !mustAct && session.settings().tray && desktop_linux::Tray::available()) {
    // Started into the tray: the window comes from its menu.
  } else if (session.settings().minimized && !mustAct) {
    view.showMinimized();
  } else {
    view.show();
    view.activateWindow();
  }
  return session.finish(QApplication::exec());
}

}  // namespace tl::app
