#include "main/linux_app.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "app/command_line.h"
#include "main/desktop_linux.h"
#include "window/form1.h"
#include "window/qt/form1_qt.h"
#include "window/runtime.h"

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
// event loop, as a closed window does; SIGTSTP lets the key up before the
// program stops. SIGKILL and SIGSTOP cannot be caught: there the kernel
// (uinput) or the key watcher (XTest) lets the key up.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
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
  sigaction(SIGTSTP, &sa, nullptr);
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
  const CommandLine cl = parseCommandLine({argv + std::min(argc, 1), argv + argc});
  switch (cl.action) {
    case CommandLine::Action::Help:
      std::fputs(usageText().c_str(), stdout);
      return 0;
    case CommandLine::Action::Version:
      std::printf("%s\n", versionText().c_str());
      return 0;
    case CommandLine::Action::Mistake:
      std::fprintf(stderr, "tastlink: %s\n%s\n", cl.mistake.c_str(), mistakeHint().c_str());
      return kExitUsage;
    case CommandLine::Action::Run:
      break;
  }
  if (const std::string why = desktopUnreachable(); !why.empty()) {
    std::fprintf(stderr, "Tastlink: %s\n", why.c_str());
    return 1;
  }
  installSignals(platform.keysUpNow);
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tastlink"));
  // Lets Wayland compositors match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tastlink.Tastlink"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("io.github.tastlink.Tastlink")));

  bool ending = false;
  int exitCode = 0;
  std::unique_ptr<Form1> form;

  // Signals are read from the first moment on, so that a report shown
  // during start-up ends on them as the window does.
  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
    unsigned char b = 0;
    bool end = false, stop = false;
    while (::read(signalPipe[0], &b, 1) == 1) (b == SIGTSTP ? stop : end) = true;
    if (end) {
      if (form) form->Shutdown();
      ending = true;
      // Ends every loop, a report's included.
      QApplication::exit(exitCode);
      return;
    }
    if (stop) {
      if (form) form->LetKeysUp();
      ::kill(::getpid(), SIGSTOP);
    }
  });

  std::unique_ptr<KeyInjector> injector;
  try {
    injector = platform.makeKeys();
  } catch (const Error& e) {
    showError(e);
    return 1;
  }
  Keyboard keys(*injector);
  auto files = platform.makeFiles();
  auto driver = platform.makeLine();

  const double dpi = qapp.primaryScreen() ? qapp.primaryScreen()->logicalDotsPerInchX() : 96.0;
  window_qt::QtForm1 view(dpi);

  // An error that leaves a handler: Shift up, line closed, report, end.
  auto fatal = [&](const Error& e) {
    if (ending) return;
    ending = true;
    form->Shutdown();
    view.hide();
    exitCode = 1;
    showError(e);
    QApplication::exit(1);
  };
  auto guarded = [&](const std::function<void()>& handler) {
    if (ending) return;
    try {
      handler();
    } catch (const Error& e) {
      fatal(e);
    }
  };

  MSComm line(*driver, [&view, &guarded](std::function<void()> task) {
    QMetaObject::invokeMethod(&view, [task = std::move(task), &guarded] { guarded(task); },
                              Qt::QueuedConnection);
  });
  form = std::make_unique<Form1>(view, line, *files, keys);
  view.entryToolTip = [&](const std::string& entry) {
    return platform.deviceOf ? platform.deviceOf(std::atoi(entry.c_str())) : std::string();
  };
  view.onComboClick = [&] { guarded([&] { form->Combo1_Click(); }); };
  view.onClose = [&] { form->Shutdown(); };

  // Saving the session's state is not its end (a logout may still be
  // cancelled): let the key up, keep the line; the end comes as aboutToQuit.
  QObject::connect(&qapp, &QGuiApplication::commitDataRequest, [&](QSessionManager&) { form->LetKeysUp(); });
  QObject::connect(&qapp, &QCoreApplication::aboutToQuit, [&] { form->Shutdown(); });

  try {
    form->Form_Load();
  } catch (const Error& e) {
    form->Shutdown();
    showError(e);
    return 1;
  }
  if (ending) return exitCode;
  view.Text1->setFocus(Qt::OtherFocusReason);
  view.show();
  view.activateWindow();
  const int rc = QApplication::exec();
  form->Shutdown();
  return exitCode ? exitCode : rc;
}

}  // namespace tl::app
