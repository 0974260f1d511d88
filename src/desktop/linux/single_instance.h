// One Tastlink per user and display: a second one started while one runs asks the
// first to bring its window to the front and ends, so that two programs
// never hold keys against each other. Only a second one meant for another
// port runs beside it.
//
// A lock file says whether a first one runs (the kernel drops the lock
// when its holder dies, however it dies); a Unix socket beside it is how
// the first is asked. A socket left behind by a killed program is stale:
// whoever holds the lock next replaces it.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace tl::desktop_linux {

class SingleInstance {
 public:
  // `name` tells programs apart that may run side by side ("tastlink",
  // "tastlink-sim"); the files go to $XDG_RUNTIME_DIR (else /tmp).
  // With `port`, the copy for that port alone: a copy running beside the
  // first on a port of its own is found there by a later one for it.
  explicit SingleInstance(const std::string& name, const std::string& port = "");
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Before anything is opened. True: another instance runs and has taken
  // over (its window is in front); this one ends. False: this one goes
  // on, as the first or beside one on another port. `port` is the port
  // asked for on the command line, as written; "" for none.
  bool handedOver(const std::string& port);

  // With the event loop running: answers later instances. `raise(port)`
  // brings the window to the front and returns true, or returns false
  // when `port` is another than this instance's. Until it is set, a
  // later instance is told to end (this one is starting or reporting).
  void serve();
  std::function<bool(const std::string& port)> raise;

 private:
  void answer();

  std::string lockPath_, socketPath_;
  int lockFd_ = -1;
  int dirFd_ = -1;  // the socket's directory, where its path is too long
  std::unique_ptr<QLocalServer> server_;
  int waiting_ = 0;  // clients heard and not yet answered
};

}  // namespace tl::desktop_linux
