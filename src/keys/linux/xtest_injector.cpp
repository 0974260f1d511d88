#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <set>
#include <string>
#include <unistd.h>

#include "keys/linux/injectors.h"

extern char** environ;

namespace tl::keys_linux {

namespace {

// The X server keeps a key that an XTest client pressed down after the
// client is gone, for the whole desktop. So a second process holds a
// connection of its own and learns from a pipe what the program holds:
// when the pipe ends (the program died, however: SIGKILL, a crash) and the
// key was down, it lets the key up. The program is this same executable,
// started again with kWatcherEnv naming the pipe's descriptor.
constexpr const char* kWatcherEnv = "TASTLINK_KEY_WATCHER_FD";
// Messages are two bytes: one of these and an X key code, or a mouse
// button's number (below 8, where no key code is).
constexpr char kDown = 'D', kUp = 'U', kUpNow = 'R';

// The watcher's end: written by the program before each event, so that a
// death between the two still leaves the watcher knowing the worst case.
int watcherFd = -1;

void tell(char what, KeyCode code = 0) {
  if (watcherFd < 0) return;
  const char msg[2] = {what, static_cast<char>(code)};
  [[maybe_unused]] ssize_t n = ::write(watcherFd, msg, sizeof msg);
}

int startWatcher() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The watcher reads its pipe as fd 3 and nothing else: a test build's
  // stdin carries commands for the program, not for the watcher.
  posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string env = std::string(kWatcherEnv) + "=3";
  int count = 0;
  while (environ[count]) ++count;
  char** envp = new char*[count + 2];
  for (int i = 0; i < count; ++i) envp[i] = environ[i];
  envp[count] = env.data();
  envp[count + 1] = nullptr;
  char arg0[] = "tastlink-key-watcher";
  char* argv[] = {arg0, nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, envp);
  delete[] envp;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (rc != 0) {
    ::close(fds[1]);
    return -1;
  }
  // Nobody waits for it: it outlives the program by design and is then
  // reaped by init.
  return fds[1];
}

class XTestInjector : public KeyInjector {
 public:
  explicit XTestInjector(Display* dpy) : dpy_(dpy) {}
  ~XTestInjector() override {
    // Keycodes lent to keys the layout lacks go back to having no symbol.
    for (auto [sym, code] : borrowed_) {
      KeySym none = NoSymbol;
      if (code) XChangeKeyboardMapping(dpy_, code, 1, &none, 1);
    }
    XCloseDisplay(dpy_);
    if (watcherFd >= 0) {
      ::close(watcherFd);
      watcherFd = -1;
    }
  }
  void send(const KeyStroke& k) override {
    // A mouse button goes by its number (1 to 9): below every key code (8
    // and up), so the watcher tells the two apart by value.
    const bool button = k.key->kind == KeyKind::Button;
    KeyCode code = button ? static_cast<KeyCode>(k.key->keysym) : keyCode(k);
    if (code == 0) return;  // no such key and no free place for one
    if (k.down) tell(kDown, code);
    if (button) XTestFakeButtonEvent(dpy_, code, k.down ? True : False, CurrentTime);
    else XTestFakeKeyEvent(dpy_, code, k.down ? True : False, CurrentTime);
    // Unflushed, the event would sit in Xlib's buffer until something else
    // happened to flush it.
    XFlush(dpy_);
    if (!k.down) tell(kUp, code);
  }

 private:
  KeyCode keyCode(const KeyStroke& k) {
    const auto lent = borrowed_.find(k.key->keysym);
    KeyCode code = lent != borrowed_.end() ? lent->second : XKeysymToKeycode(dpy_, k.key->keysym);
    if (code == 0 && k.down) code = borrowed_[k.key->keysym] = borrowKeycode(k.key->keysym);
    return code;
  }

  // Many layouts have no F13 to F24: the key is put on a keycode that has
  // no symbol at all, until the program ends, so that what the status line
  // says reaches the desktop. Programs learn of the new mapping
  // before the key event, which travels after it on this connection.
  KeyCode borrowKeycode(KeySym keysym) {
    int min = 0, max = 0, perCode = 0;
    XDisplayKeycodes(dpy_, &min, &max);
    KeySym* map = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(min), max - min + 1, &perCode);
    if (!map) return 0;
    KeyCode spare = 0;
    for (int code = max; code >= min && !spare; --code) {
      bool empty = true;
      for (int i = 0; i < perCode; ++i) empty = empty && map[(code - min) * perCode + i] == NoSymbol;
      if (empty) spare = static_cast<KeyCode>(code);
    }
    XFree(map);
    if (!spare) return 0;
    KeySym syms[2] = {keysym, keysym};
    XChangeKeyboardMapping(dpy_, spare, 2, syms, 1);
    XSync(dpy_, False);
    return spare;
  }

  Display* dpy_;
  // Keys put on a spare keycode, which this connection's cached map may
  // not show yet.
  std::map<KeySym, KeyCode> borrowed_;
};

}  // namespace

std::unique_ptr<KeyInjector> makeXTestInjector(const char* display, std::string& whyNot, bool watched) {
  Display* dpy = XOpenDisplay(display);
  if (!dpy) {
    whyNot = "keine X-Anzeige erreichbar";
    return nullptr;
  }
  int ev = 0, er = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(dpy, &ev, &er, &major, &minor)) {
    XCloseDisplay(dpy);
    whyNot = "der X-Server bietet die Erweiterung XTEST nicht an";
    return nullptr;
  }
  if (XKeysymToKeycode(dpy, XK_Shift_L) == 0) {
    XCloseDisplay(dpy);
    whyNot = "die X-Tastaturbelegung hat keine Umschalttaste";
    return nullptr;
  }
  if (watched && watcherFd < 0) watcherFd = startWatcher();
  return std::make_unique<XTestInjector>(dpy);
}

void xtestKeysUpNow() noexcept { tell(kUpNow); }  // async-signal-safe: one write(2)

int runKeyWatcherIfAsked() {
  const char* fdText = std::getenv(kWatcherEnv);
  if (!fdText) return -1;
  const int fd = std::atoi(fdText);
  // Ctrl+C in the program's terminal reaches the whole process group; the
  // watcher must outlive the program to do its work.
  signal(SIGINT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return 1;
  std::set<KeyCode> down;
  auto letUp = [&] {
    for (KeyCode code : down)
      if (code < 8) XTestFakeButtonEvent(dpy, code, False, CurrentTime);
      else XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    XFlush(dpy);
    down.clear();
  };
  pollfd fds[2] = {{fd, POLLIN, 0}, {ConnectionNumber(dpy), POLLIN, 0}};
  std::string pending;
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & (POLLHUP | POLLERR)) break;  // the X server went
    if (fds[1].revents & POLLIN) {
      // Nothing is asked of the server but the key events; drain what it sends.
      while (XPending(dpy)) {
        XEvent e;
        XNextEvent(dpy, &e);
      }
    }
    if (!fds[0].revents) continue;
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t i = 0;
    for (; i + 1 < pending.size(); i += 2) {
      const auto code = static_cast<KeyCode>(pending[i + 1]);
      if (pending[i] == kUpNow) letUp();
      else if (pending[i] == kDown) down.insert(code);
      else down.erase(code);
    }
    pending.erase(0, i);
  }
  // The program's last key-down travels on its own connection, which the
  // server may still be reading when ours arrives: let the keys up, and
  // once more a moment later.
  const std::set<KeyCode> held = down;
  letUp();
  if (!held.empty()) {
    XSync(dpy, False);
    usleep(50000);
    down = held;
    letUp();
  }
  XCloseDisplay(dpy);
  return 0;
}

}  // namespace tl::keys_linux
