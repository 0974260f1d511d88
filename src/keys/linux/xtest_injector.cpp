#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <set>
#include <string>
#include <sys/stat.h>
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
//
// The pipe ends when the program's process is gone, but the program's last
// key-down may still sit unread in its X connection: the server reads each
// client in turn. Let up too early, that key-down would land afterwards and
// stay down; let up again later "to be sure", and the second release could
// let up a key that someone else pressed meanwhile. So the program's
// connection owns an unmapped window, and the watcher waits for the server
// to destroy it: the server does that only once it has closed the
// connection, after every request the program sent. Then what the server's
// keymap shows down of the program's keys is let up, once.
constexpr const char* kWatcherEnv = "TASTLINK_KEY_WATCHER_FD";
constexpr const char* kMarkerEnv = "TASTLINK_KEY_WATCHER_WINDOW";
// How long the server may take to close a dead program's connection before
// the watcher lets its keys up regardless: only a server too busy to answer
// for that long, or a connection some other process holds open, takes it.
constexpr int kCloseWaitMs = 10000;
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

int startWatcher(Window marker) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The watcher reads its pipe as fd 3 and nothing else: a test build's
  // stdin carries commands for the program, not for the watcher.
  posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // The program's pid beside the descriptor: only its own child is the
  // watcher, never a start that inherited or was given the variable.
  std::string env = std::string(kWatcherEnv) + "=3:" + std::to_string(::getpid());
  std::string markerEnv = std::string(kMarkerEnv) + "=" + std::to_string(marker);
  int count = 0;
  while (environ[count]) ++count;
  char** envp = new char*[count + 3];
  for (int i = 0; i < count; ++i) envp[i] = environ[i];
  envp[count] = env.data();
  envp[count + 1] = markerEnv.data();
  envp[count + 2] = nullptr;
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
  if (watched && watcherFd < 0) {
    // Only this process may hold the connection, or its end would not come
    // with the program's.
    fcntl(ConnectionNumber(dpy), F_SETFD, FD_CLOEXEC);
    XSetWindowAttributes none{};
    const Window marker = XCreateWindow(dpy, DefaultRootWindow(dpy), -1, -1, 1, 1, 0, 0, InputOnly,
                                        CopyFromParent, 0, &none);
    XSync(dpy, False);  // there before the watcher asks after it
    watcherFd = startWatcher(marker);
  }
  return std::make_unique<XTestInjector>(dpy);
}

void xtestKeysUpNow() noexcept { tell(kUpNow); }  // async-signal-safe: one write(2)

namespace {

bool markerGone = false;

int ignoreXError(Display*, XErrorEvent* e) {
  // The program's window may be gone before the watcher first asks.
  if (e->error_code == BadWindow) markerGone = true;
  return 0;
}

// Takes what the server has sent; true once the program's window is gone.
bool readX(Display* dpy, Window marker) {
  while (XPending(dpy)) {
    XEvent e;
    XNextEvent(dpy, &e);
    if (e.type == DestroyNotify && e.xdestroywindow.window == marker) markerGone = true;
  }
  return markerGone;
}

// Lets up those of `keys` that the server has down, once.
void letUp(Display* dpy, std::set<KeyCode>& keys) {
  char map[32];
  XQueryKeymap(dpy, map);
  Window root = None, child = None;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned buttons = 0;
  XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &wx, &wy, &buttons);
  for (KeyCode code : keys) {
    // Buttons 1 to 5 show in the pointer's state; the side buttons do not,
    // and go up regardless (the server ignores the release of one not down).
    if (code < 8 && (code > 5 || (buttons & (Button1Mask << (code - 1)))))
      XTestFakeButtonEvent(dpy, code, False, CurrentTime);
    if (code >= 8 && (map[code / 8] & (1 << (code % 8)))) XTestFakeKeyEvent(dpy, code, False, CurrentTime);
  }
  XSync(dpy, False);
  keys.clear();
}

}  // namespace

int runKeyWatcherIfAsked() {
  const char* value = std::getenv(kWatcherEnv);
  if (!value) return -1;
  const std::string asked = value;
  ::unsetenv(kWatcherEnv);  // for none of this process's children
  const int fd = 3;
  struct stat st {};
  const bool pipe = ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
  // Started by the program: its pid is named and the pipe is there. The
  // parent is not checked: the program may be killed before this gets
  // here, and the pipe still says what it held. Anything else (the
  // variable inherited or set by hand) runs as the program.
  const pid_t program = asked.rfind("3:", 0) == 0 ? static_cast<pid_t>(std::atol(asked.c_str() + 2)) : 0;
  if (!pipe || program <= 0 || asked != "3:" + std::to_string(program)) return -1;
  // Ctrl+C in the program's terminal reaches the whole process group; the
  // watcher must outlive the program to do its work.
  signal(SIGINT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return 1;
  XSetErrorHandler(ignoreXError);
  const char* markerText = std::getenv(kMarkerEnv);
  const Window marker = markerText ? std::strtoul(markerText, nullptr, 10) : None;
  XSelectInput(dpy, marker, StructureNotifyMask);
  XSync(dpy, False);
  std::set<KeyCode> down;
  pollfd fds[2] = {{fd, POLLIN, 0}, {ConnectionNumber(dpy), POLLIN, 0}};
  std::string pending;
  bool xGone = false;
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & (POLLHUP | POLLERR)) {
      xGone = true;  // the X server went, and every key with it
      break;
    }
    if (fds[1].revents & POLLIN) readX(dpy, marker);
    if (!fds[0].revents) continue;
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t i = 0;
    for (; i + 1 < pending.size(); i += 2) {
      const auto code = static_cast<KeyCode>(pending[i + 1]);
      if (pending[i] == kUpNow) letUp(dpy, down);
      else if (pending[i] == kDown) down.insert(code);
      else down.erase(code);
    }
    pending.erase(0, i);
  }
  if (!xGone && !down.empty()) {
    // The program is gone; its connection may not be yet.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    while (!readX(dpy, marker)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      const int rc = ::poll(&fds[1], 1, static_cast<int>(left));
      if (rc < 0 && errno != EINTR) break;
      if (rc > 0 && (fds[1].revents & (POLLHUP | POLLERR))) break;
    }
    letUp(dpy, down);
  }
  XCloseDisplay(dpy);
  return 0;
}

}  // namespace tl::keys_linux
