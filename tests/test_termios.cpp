// The termios line and the probe's file layer against real pseudo-terminals,
// which open like serial ports but have no modem lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <pty.h>
#include <unistd.h>

#include "fakes/fakes.h"
#include "fakes/proc.h"
#include "serial/posix/file_layer.h"
#include "serial/posix/termios_line.h"

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
  posix::PortResolver resolver() { return posix::PortResolver(root.string()); }
};

LineNotify ignore() {
  return [](const LineEvent&) {};
}

}  // namespace

TEST_F(PtyTree, LineOpensExclusivelyClosesAndReopens) {
  const std::string path = device("ttyS0", "4");
  posix::TermiosLineDriver driver(resolver());
  const int fdsBefore = proc::openFds();
  {
    auto line = driver.open(1, true, true, ignore());
    EXPECT_FALSE(line->cts()) << "a pty has no CTS; reading it must not fail";
    // Held: neither a second line nor a probe gets the port.
    try {
      driver.open(1, true, true, ignore());
      FAIL() << "a held port must not open twice";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kPathAccess);
      EXPECT_EQ(e.description(), "Der Anschluss COM1 (" + path +
                                     ") lässt sich nicht öffnen: wird gerade von einem anderen Programm "
                                     "benutzt (flock: Resource temporarily unavailable).");
    }
    posix::PosixFileLayer files(resolver());
    EXPECT_THROW(files.Open("COM1:9600,n,8,1", 1), Error);
  }
  auto again = driver.open(1, true, true, ignore());
  again.reset();
  EXPECT_EQ(proc::openFds(), fdsBefore);
}

TEST_F(PtyTree, LineErrorsNameThePortInGerman) {
  device("ttyS0", "4", false);  // listed by the kernel, but no node
  posix::TermiosLineDriver driver(resolver());
  try {
    driver.open(1, true, true, ignore());
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kDeviceUnavailable);
    EXPECT_NE(e.description().find("Gerät nicht vorhanden (open: No such file or directory)"), std::string::npos)
        << e.description();
  }
  try {
    driver.open(9, true, true, ignore());
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
  posix::TermiosLineDriver driver(resolver());
  auto held = driver.open(3, true, true, ignore());

  fake::Log log;
  fake::Form form(log);
  ComboBox list(form);
  posix::PosixFileLayer files(resolver());
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
  posix::PosixFileLayer files(posix::PortResolver("/nonexistent-root"));
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
  posix::TermiosLineDriver driver(resolver());
  std::mutex m;
  std::condition_variable cv;
  std::vector<LineEvent> seen;
  auto line = driver.open(1, true, true, [&](const LineEvent& ev) {
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
  l.unlock();
  line.reset();
  EXPECT_EQ(seen.size(), 1u);
}
