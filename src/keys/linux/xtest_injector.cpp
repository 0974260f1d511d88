#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <unistd.h>

#include "keys/linux/injectors.h"

extern char** environ;

namespace tl::keys {

namespace {

// The X server keeps a key that an XTest client pressed down after the
// client is gone, for the whole desktop. So a second process holds a
// connection of its own and learns from a pipe what the program holds:
// when the pipe ends (the program died, however: SIGKILL, a crash) and the
// key was down, it lets the key up. The program is this same executable,
// started again with kWatcherEnv naming the pipe's descriptor.
constexpr const char* kWatcherEnv = "TASTLINK_KEY_WATCHER_FD";
constexpr char kDown = 'D', kUp = 'U', kUpNow = 'R';

// The watcher's end: written by the program before each event, so that a
// death between the two still leaves the watcher knowing the worst case.
int watcherFd = -1;

void tell(char state) {
  if (watcherFd < 0) return;
  [[maybe_unused]] ssize_t n = ::write(watcherFd, &state, 1);
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
  XTestInjector(Display* dpy, KeyCode shift) : dpy_(dpy), shift_(shift) {}
  ~XTestInjector() override {
    XCloseDisplay(dpy_);
    if (watcherFd >= 0) {
      ::close(watcherFd);
      watcherFd = -1;
    }
  }
  void keybd_event(uint8_t vk, uint8_t, uint32_t flags, uint32_t) override {
    if (vk != kVkShift) return;
    const bool down = (flags & kKeyEventKeyUp) == 0;
    if (down) tell(kDown);
    XTestFakeKeyEvent(dpy_, shift_, down ? True : False, CurrentTime);
    // Unflushed, the event would sit in Xlib's buffer until something else
    // happened to flush it.
    XFlush(dpy_);
    if (!down) tell(kUp);
  }

 private:
  Display* dpy_;
  KeyCode shift_;
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
  const KeyCode shift = XKeysymToKeycode(dpy, XK_Shift_L);
  if (shift == 0) {
    XCloseDisplay(dpy);
    whyNot = "die X-Tastaturbelegung hat keine Umschalttaste";
    return nullptr;
  }
  if (watched && watcherFd < 0) watcherFd = startWatcher();
  return std::make_unique<XTestInjector>(dpy, shift);
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
  const KeyCode shift = XKeysymToKeycode(dpy, XK_Shift_L);
  auto up = [&] {
    XTestFakeKeyEvent(dpy, shift, False, CurrentTime);
    XFlush(dpy);
  };
  bool down = false;
  pollfd fds[2] = {{fd, POLLIN, 0}, {ConnectionNumber(dpy), POLLIN, 0}};
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
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == kUpNow) {
        if (down) up();
        down = false;
      } else {
        down = buf[i] == kDown;
      }
    }
  }
  if (down) up();
  XCloseDisplay(dpy);
  return 0;
}

}  // namespace tl::keys
