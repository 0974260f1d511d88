#include "main/linux_app.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "window/form1.h"
#include "window/qt/form1_qt.h"
#include "window/runtime.h"

namespace tl::app {

namespace {

int signalPipe[2] = {-1, -1};

// A signal handler may do almost nothing; it hands the signal to the event
// loop, which lets Shift up and closes the line like a closed window.
void onTerminate(int sig) {
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &b, 1);
}

void installTerminationSignals() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = onTerminate;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
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
  installTerminationSignals();
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tastlink"));

  std::unique_ptr<KeyInjector> injector;
  try {
    injector = platform.makeKeys();
  } catch (const Error& e) {
    showError(e);
    return 1;
  }
  ShiftKey keys(*injector);
  auto files = platform.makeFiles();
  auto driver = platform.makeLine();

  const double dpi = qapp.primaryScreen() ? qapp.primaryScreen()->logicalDotsPerInchX() : 96.0;
  qt::QtForm1 view(dpi);
  bool ending = false;
  int exitCode = 0;
  std::unique_ptr<Form1> form;

  // An error that leaves a handler: Shift up, line closed, report, end.
  auto fatal = [&](const Error& e) {
    if (ending) return;
    ending = true;
    form->Shutdown();
    view.hide();
    showError(e);
    exitCode = 1;
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

  QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
    unsigned char b = 0;
    while (::read(signalPipe[0], &b, 1) == 1) {
    }
    form->Shutdown();
    ending = true;
    QApplication::exit(0);
  });
  QObject::connect(&qapp, &QGuiApplication::commitDataRequest, [&](QSessionManager&) { form->Shutdown(); });
  QObject::connect(&qapp, &QCoreApplication::aboutToQuit, [&] { form->Shutdown(); });

  try {
    form->Form_Load();
  } catch (const Error& e) {
    form->Shutdown();
    showError(e);
    return 1;
  }
  view.Text1->setFocus(Qt::OtherFocusReason);
  view.show();
  view.activateWindow();
  const int rc = QApplication::exec();
  form->Shutdown();
  return exitCode ? exitCode : rc;
}

}  // namespace tl::app
