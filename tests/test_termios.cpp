// The termios line and the probe's file layer against real pseudo-terminals,
// which open like serial ports but have no modem lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "fakes/fakes.h"
#include "fakes/proc.h"
#include "serial/linux/file_layer.h"
#include "serial/linux/os_error.h"
#include "serial/linux/termios_line.h"

namespace fs = std::filesystem;
using namespace tl;

namespace {


// A fake /dev + /sys whose serial devices are ptys (or missing nodes).
struct PtyTree : ::testing::Test {
  fs::path root;
  std::vector<int> masters;
  void SetUp() override {
    root = fs::temp_directory_path() / ("tl-pty-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "dev");
  }
  void TearDown() override {
    for (int m : masters) ::close(m);
    fs::remove_all(root);
  }
  // Adds a serial device `name`; with `pty` its node is a pseudo-terminal.
  std::string device(const std::string& name, const char* type, bool pty = true) {
    fs::create_directories(root / "sys/class/tty" / name);
    if (type) std::ofstream(root / "sys/class/tty" / name / "type") << type;
    if (!pty) return "";
    int master = -1, slave = -1;
    char path[256];
    EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    ::close(slave);
    masters.push_back(master);
    fs::create_symlink(path, root / "dev" / name);
    return (root / "dev" / name).string();
  }
  serial_linux::PortResolver resolver() { return serial_linux::PortResolver(root.string()); }
};

LineNotify ignore() {
  return [](const LineEvent&) {};
}

// Another program's descriptor on a port, opened the way terminal programs do.
int holder(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

std::string slurp(const fs::path& p) {
  if (fs::is_fifo(p)) return "fifo";  // opening it would wait for a writer
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string uucpPid(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

// A pid that named a process a moment ago and names none now.
pid_t deadPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace

TEST_F(PtyTree, LineOpensExclusivelyClosesAndReopens) {
  const std::string path = device("ttyS0", "4");
  serial_linux::TermiosLineDriver driver(resolver());
  const int fdsBefore = proc::openFds();
  {
    auto line = driver.open(1, true, true, lines::CTS, ignore());
    EXPECT_FALSE((line->levels() & lines::CTS)) << "a pty has no CTS; reading it must not fail";
    // Held: neither a second line nor a probe gets the port.
    try {
      driver.open(1, true, true, lines::CTS, ignore());
      FAIL() << "a held port must not open twice";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kPathAccess);
      EXPECT_EQ(e.description(), "Der Anschluss COM1 (" + path +
                                     ") lässt sich nicht öffnen: wird gerade von einem anderen Programm "
                                     "exklusiv benutzt (TIOCGEXCL).");
    }
    serial_linux::PosixFileLayer files(resolver());
    EXPECT_THROW(files.Open("COM1:9600,n,8,1", 1), Error);
  }
  auto again = driver.open(1, true, true, lines::CTS, ignore());
  again.reset();
  EXPECT_EQ(proc::openFds(), fdsBefore);
}

TEST_F(PtyTree, LineErrorsNameThePortInGerman) {
  device("ttyS0", "4", false);  // listed by the kernel, but no node
  serial_linux::TermiosLineDriver driver(resolver());
  try {
    driver.open(1, true, true, lines::CTS, ignore());
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kDeviceUnavailable);
    EXPECT_NE(e.description().find("lässt sich nicht öffnen: nicht vorhanden (open: ENOENT)."), std::string::npos)
        << e.description();
  }
  try {
    driver.open(9, true, true, lines::CTS, ignore());
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "Der Anschluss COM9 ist auf diesem Rechner nicht vorhanden.");
  }
}

TEST_F(PtyTree, ProbeListsFreePortsSkipsHeldAndAbsentOnesAndClosesAll) {
  device("ttyS0", "4");            // COM1: free
  device("ttyS1", "0", false);     // placeholder: no COM number
  device("ttyS2", "4", false);     // COM2: node missing
  device("ttyUSB0", nullptr);      // COM3: held by another line below
  device("ttyUSB1", nullptr);      // COM4: free
  serial_linux::TermiosLineDriver driver(resolver());
  auto held = driver.open(3, true, true, lines::CTS, ignore());

  fake::Log log;
  fake::Form form(log);
  ComboBox list(form);
  serial_linux::PosixFileLayer files(resolver());
  const int fdsBefore = proc::openFds();
  auto result = comport::FindPorts(files, list);
  EXPECT_EQ(form.items, (std::vector<std::string>{"1", "4"}));
  EXPECT_EQ(files.openCount(), 0u);
  EXPECT_EQ(proc::openFds(), fdsBefore);
  ASSERT_EQ(result.failures.size(), 1u) << "the missing node is absent, not a failure";
  EXPECT_EQ(result.failures[0].port, 3);
  EXPECT_NE(result.failures[0].description.find("anderen Programm"), std::string::npos);
}

TEST(FileLayer, NamesAndFileNumbers) {
  serial_linux::PosixFileLayer files(serial_linux::PortResolver("/nonexistent-root"));
  EXPECT_EQ(files.FreeFile(), 1);
  for (const char* name : {"COM:9600", "LPT1:", "COM1x", "datei.txt"}) {
    try {
      files.Open(name, 1);
      FAIL() << name;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kFileNotFound) << name;
    }
  }
  try {
    files.Open("COM2:9600,n,8,1", 1);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kDeviceUnavailable);
  }
  EXPECT_THROW(files.Close(1), Error);
  EXPECT_THROW(files.Open("COM1:", 0), Error);
}

TEST_F(PtyTree, AHungUpLineIsReportedAsAFailureOfTheLine) {
  const std::string path = device("ttyS0", "4");
  serial_linux::TermiosLineDriver driver(resolver());
  std::mutex m;
  std::condition_variable cv;
  std::vector<LineEvent> seen;
  auto line = driver.open(1, true, true, lines::CTS, [&](const LineEvent& ev) {
    std::lock_guard<std::mutex> g(m);
    seen.push_back(ev);
    cv.notify_all();
  });
  ::close(masters.back());  // the other side goes away: the slave hangs up
  masters.pop_back();
  std::unique_lock<std::mutex> l(m);
  ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return !seen.empty(); }));
  EXPECT_EQ(seen[0].kind, LineEvent::Kind::Failure);
  EXPECT_EQ(seen[0].number, err::kLineFailed);
  EXPECT_NE(seen[0].description.find("Die Verbindung zu COM1 (" + path + ") ist abgerissen"), std::string::npos)
      << seen[0].description;
  EXPECT_EQ(seen[0].description.find("Adapter"), std::string::npos) << "a built-in port has no adapter to pull";
  l.unlock();
  line.reset();
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(PtyTree, TheProbeLeavesAPortsSettingsAsAnotherProgramMadeThem) {
  const int other = holder(device("ttyS0", "4"));  // a terminal program, no lock taken
  termios set{};
  ASSERT_EQ(tcgetattr(other, &set), 0);
  cfsetispeed(&set, B115200);
  cfsetospeed(&set, B115200);
  set.c_lflag |= ECHO | ICANON;
  ASSERT_EQ(tcsetattr(other, TCSANOW, &set), 0);
  ASSERT_EQ(tcgetattr(other, &set), 0);

  fake::Log log;
  fake::Form form(log);
  ComboBox list(form);
  serial_linux::PosixFileLayer files(resolver());
  comport::FindPorts(files, list);
  EXPECT_EQ(form.items, (std::vector<std::string>{"1"}));
  termios now{};
  ASSERT_EQ(tcgetattr(other, &now), 0);
  EXPECT_EQ(cfgetospeed(&now), B115200);
  EXPECT_EQ(std::tie(now.c_iflag, now.c_oflag, now.c_cflag, now.c_lflag),
            std::tie(set.c_iflag, set.c_oflag, set.c_cflag, set.c_lflag));
  ::close(other);
}

// Each way a program marks a port as its own: the probe must not list the
// port, the line must not take it, and the mark must outlive both.
TEST_F(PtyTree, PortsAnotherProgramHoldsAreLeftAloneWhateverTheirMark) {
  const fs::path locks = root / "run/lock";
  fs::create_directories(locks);
  fs::create_directories(root / "sys/class/tty/console");
  const pid_t live = getppid();
  int binary = live;
  struct Mark {
    const char* what;
    std::function<int(const std::string& path, const fs::path& lockFile)> take;  // a descriptor to keep, or -1
    std::string reason;
  };
  const std::vector<Mark> marks = {
      {"flock", [](auto& path, auto&) { const int fd = holder(path); flock(fd, LOCK_EX); return fd; },
       "wird gerade von einem anderen Programm benutzt (flock: EAGAIN)."},
      {"TIOCEXCL", [](auto& path, auto&) { const int fd = holder(path); ioctl(fd, TIOCEXCL); return fd; },
       "wird gerade von einem anderen Programm exklusiv benutzt (TIOCGEXCL)."},
      {"lock file", [&](auto&, auto& lock) { std::ofstream(lock) << uucpPid(live); return -1; },
       "wird gerade von Prozess " + std::to_string(live) + " „"},
      {"binary lock file", [&](auto&, auto& lock) { std::ofstream(lock).write(reinterpret_cast<char*>(&binary), 4); return -1; },
       "wird gerade von Prozess " + std::to_string(live) + " „"},
      {"lock file without pid", [](auto&, auto& lock) { std::ofstream(lock) << "gesperrt\n"; return -1; },
       "ohne lesbare Prozessnummer)."},
      {"console", [&](auto&, auto&) { std::ofstream(root / "sys/class/tty/console/active") << "tty0 ttyS5\n"; return -1; },
       "ist die Konsole des Systems (/sys/class/tty/console/active: ttyS5)."},
      {"FIFO as lock file", [](auto&, auto& lock) { mkfifo(lock.c_str(), 0644); return -1; },
       "ist keine gewöhnliche Datei)."},
  };
  std::vector<int> held;
  std::vector<std::string> lockTexts;
  for (size_t i = 0; i < marks.size(); ++i) {
    const std::string name = "ttyS" + std::to_string(i);
    held.push_back(marks[i].take(device(name, "4"), locks / ("LCK.." + name)));
    lockTexts.push_back(slurp(locks / ("LCK.." + name)));
  }

  fake::Log log;
  fake::Form form(log);
  ComboBox list(form);
  serial_linux::PosixFileLayer files(resolver());
  const auto result = comport::FindPorts(files, list);
  EXPECT_TRUE(form.items.empty());
  ASSERT_EQ(result.failures.size(), marks.size());
  serial_linux::TermiosLineDriver driver(resolver());
  for (size_t i = 0; i < marks.size(); ++i) {
    const auto& f = result.failures[i];
    EXPECT_NE(f.description.find(marks[i].reason), std::string::npos) << marks[i].what << ": " << f.description;
    EXPECT_EQ(f.description.find("COM"), std::string::npos) << "the report names the port: " << f.description;
    try {
      driver.open(f.port, true, true, lines::CTS, ignore());
      ADD_FAILURE() << marks[i].what << ": the line took a held port";
    } catch (const Error& e) {
      EXPECT_NE(e.description().find(marks[i].reason), std::string::npos) << marks[i].what << ": " << e.description();
    }
    EXPECT_EQ(slurp(locks / ("LCK..ttyS" + std::to_string(i))), lockTexts[i]) << marks[i].what;
  }
  int exclusive = 0;
  EXPECT_EQ(ioctl(held[1], TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "another program's exclusive flag was cleared";
  for (int fd : held)
    if (fd >= 0) ::close(fd);
}

TEST_F(PtyTree, ARefusedPortGivesTheLineThatLetsTheUserInWithTheirName) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const fs::path node = fs::canonical(device("ttyS0", "4"));
  ASSERT_EQ(::chown(node.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {  // as nobody, whom root's mode 600 keeps out
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    fake::Log log;
    fake::Form form(log);
    ComboBox list(form);
    serial_linux::PosixFileLayer files(resolver());
    const auto result = comport::FindPorts(files, list);
    const std::string text = result.failures.empty() ? "" : result.failures[0].description;
    _exit(::write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(out[1]);
  char buf[1024] = {};
  const ssize_t n = ::read(out[0], buf, sizeof buf - 1);
  ::close(out[0]);
  waitpid(child, nullptr, 0);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(buf).find("keine Berechtigung; Abhilfe: „sudo usermod -aG dialout " +
                                  std::string(getpwuid(65534)->pw_name) + "“"),
            std::string::npos)
      << buf;
}

TEST_F(PtyTree, TheLineWritesItsLockFileTakesOverAStaleOneAndRemovesIt) {
  device("ttyS0", "4");
  const fs::path lock = root / "run/lock/LCK..ttyS0";
  fs::create_directories(lock.parent_path());
  std::ofstream(lock) << uucpPid(deadPid());
  serial_linux::TermiosLineDriver driver(resolver());
  auto line = driver.open(1, true, true, lines::CTS, ignore());
  EXPECT_EQ(slurp(lock), uucpPid(getpid()));
  line.reset();
  EXPECT_FALSE(fs::exists(lock));
  // Without a lock directory to write to, the port is used all the same.
  serial_linux::TermiosLineDriver noLocks(resolver(), (root / "no-such-dir").string());
  EXPECT_NO_THROW(noLocks.open(1, true, true, lines::CTS, ignore()));
}

TEST(OsError, ReasonsAreGermanAndNameTheCall) {
  const struct {
    int errnum;
    const char* reason;
    const char* call;
  } rows[] = {
      {EACCES, "keine Berechtigung", "open: EACCES"},
      {EBUSY, "wird gerade von einem anderen Programm benutzt", "open: EBUSY"},
      {ENOENT, "nicht vorhanden", "open: ENOENT"},
      {ENODEV, "kein Gerät hinter dem Anschluss", "open: ENODEV"},
      {EIO, "Ein-/Ausgabefehler, das Gerät antwortet nicht mehr", "open: EIO"},
      {EAGAIN, "das Gerät ist gerade nicht bereit", "open: EAGAIN"},
      {ENOTTY, "kein serieller Anschluss", "open: ENOTTY"},
      {EINVAL, "vom Gerät nicht unterstützt", "open: EINVAL"},
      {ETIMEDOUT, "das Gerät antwortet nicht (Zeitüberschreitung)", "open: ETIMEDOUT"},
      {4242, "Systemfehler 4242", "open: Fehler 4242"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(serial_linux::osReason(r.errnum), r.reason);
    EXPECT_EQ(serial_linux::osCall("open", r.errnum), r.call);
  }
}
