// Key injection for real: XTest against the X server named by DISPLAY, and
// uinput where /dev/uinput exists. Each skips where its device is missing.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "keys/linux/injectors.h"
#include "core/runtime.h"

using namespace tl;

namespace {

bool xKeyDown(Display* dpy, KeyCode code) {
  char keys[32];
  XQueryKeymap(dpy, keys);
  return keys[code / 8] & (1 << (code % 8));
}

bool xShiftDown(Display* dpy) { return xKeyDown(dpy, XKeysymToKeycode(dpy, XK_Shift_L)); }

bool xKeySettles(Display* dpy, KeyCode code, bool want) {
  for (int i = 0; i < 200 && xKeyDown(dpy, code) != want; ++i) usleep(10000);
  return xKeyDown(dpy, code) == want;
}

// The injector only flushes: its events and this connection's query travel
// on two connections, and the server may answer the query first.
bool xShiftSettles(Display* dpy, bool want) {
  for (int i = 0; i < 200 && xShiftDown(dpy) != want; ++i) usleep(10000);
  return xShiftDown(dpy) == want;
}

}  // namespace

TEST(XTest, ShiftFollowsTheEventsOnTheServer) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  std::string why;
  auto keys = keys_linux::makeXTestInjector(nullptr, why);
  ASSERT_TRUE(keys) << why;
  Display* probe = XOpenDisplay(nullptr);
  ASSERT_TRUE(probe);
  keys->keybd_event(16, 1, 0, 0);
  EXPECT_TRUE(xShiftSettles(probe, true));
  keys->keybd_event(16, 1, 0, 0);  // a repeated key-down keeps it down
  EXPECT_TRUE(xShiftSettles(probe, true));
  keys->keybd_event(16, 1, 2, 0);
  EXPECT_TRUE(xShiftSettles(probe, false));
  keys->keybd_event(0xE8, 1, 0, 0);  // a virtual key the table does not know is dropped
  usleep(50000);
  EXPECT_FALSE(xShiftDown(probe));
  // A key the layout lacks (Xvfb's has no F13) still reaches the server.
  keys->keybd_event(0x7C, 0, 0, 0);
  const KeyCode f13 = [] {  // a new connection reads the changed map
    Display* fresh = XOpenDisplay(nullptr);
    const KeyCode c = XKeysymToKeycode(fresh, XK_F13);
    XCloseDisplay(fresh);
    return c;
  }();
  ASSERT_NE(f13, 0);
  EXPECT_TRUE(xKeySettles(probe, f13, true));
  keys->keybd_event(0x7C, 0, 2, 0);
  EXPECT_TRUE(xKeySettles(probe, f13, false));
  XCloseDisplay(probe);
}

TEST(XTest, NoDisplayIsExplainedNotFatal) {
  std::string why;
  EXPECT_FALSE(keys_linux::makeXTestInjector(":4711", why));
  EXPECT_EQ(why, "keine X-Anzeige erreichbar");
  EXPECT_FALSE(keys_linux::makeUinputInjector("/nonexistent/uinput", why));
  EXPECT_EQ(why, "nicht vorhanden (open: ENOENT)");
}

TEST(Uinput, VirtualKeyboardHoldsAndReleasesLeftShift) {
  if (access("/dev/uinput", W_OK) != 0) GTEST_SKIP() << "no /dev/uinput here";
  std::string why;
  auto keys = keys_linux::makeUinputInjector("/dev/uinput", why);
  ASSERT_TRUE(keys) << why;
  // Find the device the kernel made for us and read its key state.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int fd = -1;
  for (auto& e : std::filesystem::directory_iterator("/dev/input")) {
    if (e.path().filename().string().rfind("event", 0) != 0) continue;
    int f = open(e.path().c_str(), O_RDONLY);
    char name[64] = {};
    ioctl(f, EVIOCGNAME(sizeof name), name);
    if (std::string(name) == "Tastlink Shift") {
      fd = f;
      break;
    }
    close(f);
  }
  ASSERT_GE(fd, 0);
  auto down = [&] {
    unsigned char bits[KEY_MAX / 8 + 1] = {};
    ioctl(fd, EVIOCGKEY(sizeof bits), bits);
    return (bits[KEY_LEFTSHIFT / 8] >> (KEY_LEFTSHIFT % 8)) & 1;
  };
  keys->keybd_event(16, 1, 0, 0);
  EXPECT_TRUE(down());
  keys->keybd_event(16, 1, 2, 0);
  EXPECT_FALSE(down());
  close(fd);
}

TEST(SystemInjector, NeitherUinputNorXIsAGermanReport) {
  if (access("/dev/uinput", W_OK) == 0) GTEST_SKIP() << "uinput is usable here";
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  try {
    keys_linux::makeSystemInjector();
    ADD_FAILURE() << "no way to inject keys must not pass as success";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kKeyInjection);
    EXPECT_NE(e.description().find("/dev/uinput: "), std::string::npos);
    EXPECT_NE(e.description().find("keine X-Anzeige"), std::string::npos);
  }
  if (display) setenv("DISPLAY", saved.c_str(), 1);
}

// The advice follows the cause: a missing node wants the module loaded, a
// refused one the udev rule. Each case runs in a child, as a plain user
// where the cause is a permission.
TEST(SystemInjector, UinputAdviceFitsTheCause) {
  const std::string denied = std::filesystem::temp_directory_path() / ("tl-uinput-" + std::to_string(getpid()));
  close(open(denied.c_str(), O_CREAT | O_WRONLY, 0600));
  const struct {
    std::string path;
    uid_t uid;
    const char *advice, *notAdvice;
  } rows[] = {
      {"/nonexistent/uinput", 0, "sudo modprobe uinput", "TAG+="},
      {denied, 65534, "TAG+=\"uaccess\"", "modprobe"},
  };
  for (const auto& r : rows) {
    EXPECT_EXIT(
        {
          unsetenv("DISPLAY");
          if (r.uid && (setgid(r.uid) != 0 || setuid(r.uid) != 0)) _exit(2);
          try {
            keys_linux::makeSystemInjector(r.path);
          } catch (const Error& e) {
            const std::string& t = e.description();
            std::fprintf(stderr, "%s\n", t.c_str());
            _exit(t.find(r.advice) != t.npos && t.find(r.notAdvice) == t.npos && t.find("denied") == t.npos &&
                          t.find("No such") == t.npos
                      ? 0
                      : 1);
          }
          _exit(3);
        },
        ::testing::ExitedWithCode(0), "")
        << r.path;
  }
  unlink(denied.c_str());
}

TEST(Layout, LettersFollowTheServersKeymap) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  Display* dpy = XOpenDisplay(nullptr);
  ASSERT_TRUE(dpy);
  auto moved = [] {
    std::string out;
    for (const auto& [key, code] : keys_linux::layoutLetterCodes(nullptr))
      out += std::string(key->name) + "=" + std::to_string(code) + " ";
    return out;
  };
  EXPECT_EQ(moved(), "") << "a US keymap moves nothing";
  // Y and Z swapped, as a German layout has them; put back afterwards.
  const KeyCode y = KEY_Y + 8, z = KEY_Z + 8;
  int per = 0;
  KeySym* saved[2] = {XGetKeyboardMapping(dpy, y, 1, &per), nullptr};
  saved[1] = XGetKeyboardMapping(dpy, z, 1, &per);
  XChangeKeyboardMapping(dpy, y, per, saved[1], 1);
  XChangeKeyboardMapping(dpy, z, per, saved[0], 1);
  XSync(dpy, False);
  const std::string swapped = moved();
  XChangeKeyboardMapping(dpy, y, per, saved[0], 1);
  XChangeKeyboardMapping(dpy, z, per, saved[1], 1);
  XSync(dpy, False);
  XFree(saved[0]);
  XFree(saved[1]);
  XCloseDisplay(dpy);
  EXPECT_EQ(swapped, "Y=44 Z=21 ");
}

TEST(UinputAdvice, FollowsTheCauseAndHowTastlinkWasInstalled) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tl-advice-" + std::to_string(::getpid()));
  struct Case {
    int e;
    const char* installedFile;  // "" for a build run where it was built
    const char* says;
    const char* never;
  };
  const Case cases[] = {
      {ENOENT, "usr/lib/modules-load.d/tastlink.conf", "sudo modprobe uinput", "/etc/modules-load.d"},
      {ENOENT, "", "/etc/modules-load.d/uinput.conf", "udev"},
      {EACCES, "usr/lib/udev/rules.d/60-tastlink-uinput.rules", "sudo udevadm trigger", "KERNEL=="},
      {EACCES, "", "TAG+=\"uaccess\"", "Fernzugriff"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(root);
    if (*c.installedFile) {
      std::filesystem::create_directories((root / c.installedFile).parent_path());
      std::ofstream(root / c.installedFile) << "\n";
    }
    const std::string advice = keys_linux::uinputAdvice(c.e, root.string() + "/");
    EXPECT_NE(advice.find(c.says), std::string::npos) << c.installedFile << ": " << advice;
    EXPECT_EQ(advice.find(c.never), std::string::npos) << c.installedFile << ": " << advice;
  }
  std::filesystem::remove_all(root);
}
