// COM numbering on Linux against fake /dev + /sys trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "serial/linux/device_watch.h"
#include "serial/linux/port_resolver.h"
#include "serial/linux/port_table.h"

namespace fs = std::filesystem;
using tl::serial_linux::PortResolver;

namespace {

struct FakeTree : ::testing::Test {
  fs::path root;
  void SetUp() override {
    root = fs::temp_directory_path() / ("tl-tree-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "sys/class/tty");
    fs::create_directories(root / "dev");
  }
  void TearDown() override { fs::remove_all(root); }
  void tty(const std::string& name, const char* type = nullptr) {
    fs::create_directories(root / "sys/class/tty" / name);
    if (type) std::ofstream(root / "sys/class/tty" / name / "type") << type << "\n";
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (auto& d : PortResolver(root.string()).devices()) out.push_back(std::to_string(d.com) + "=" + d.name);
    return out;
  }
};

}  // namespace

TEST_F(FakeTree, UartsFirstThenUsbAdaptersEachInNumericOrder) {
  tty("ttyS10", "4");
  tty("ttyS2", "4");
  tty("ttyS0", "4");
  tty("ttyUSB10");
  tty("ttyUSB1");
  tty("tty0");
  tty("console");
  EXPECT_EQ(names(), (std::vector<std::string>{"1=ttyS0", "2=ttyS2", "3=ttyS10", "4=ttyUSB1", "5=ttyUSB10"}));
  auto d = PortResolver(root.string()).find(4);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->path, (root / "dev/ttyUSB1").string());
  EXPECT_FALSE(PortResolver(root.string()).find(6));
}

TEST_F(FakeTree, PlaceholdersAndCdcAcmAreLeftOut) {
  tty("ttyS0", "0");  // registered, no UART behind it
  tty("ttyS1", "4");
  tty("ttyS2");       // no type at all
  tty("ttyS3", "0");
  tty("ttyACM0");
  tty("ttyUSB0");
  tty("ttyUSB" + std::string(40, '9'));  // a number no long holds
  tty("ttyUSB-1");
  EXPECT_EQ(names(), (std::vector<std::string>{"1=ttyS1", "2=ttyUSB0"}));
}

TEST_F(FakeTree, EmptyOrMissingTreeHasNoPorts) {
  EXPECT_TRUE(names().empty());
  EXPECT_TRUE(PortResolver((root / "nowhere").string()).devices().empty());
}

namespace {

using tl::serial_linux::PortTable;

// A USB adapter as sysfs shows it: its tty on a port below the interface
// of the USB device in `socket`, which carries `serial` (or none).
void adapter(const fs::path& root, const std::string& tty, const std::string& serial, const std::string& socket) {
  const fs::path usb = root / "sys/devices/usb1" / socket, port = usb / (socket + ":1.0") / tty;
  fs::create_directories(port);
  std::ofstream(port / "port_number") << "0\n";
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "idProduct") << "6001\n";
  if (serial.empty()) fs::remove(usb / "serial");
  else std::ofstream(usb / "serial") << serial << "\n";
  fs::create_directories(root / "sys/class/tty" / tty);
  fs::create_symlink(port, root / "sys/class/tty" / tty / "device");
  std::ofstream(root / "dev" / tty).put('\n');
}

void unplug(const fs::path& root, const std::string& tty) {
  fs::remove_all(fs::canonical(root / "sys/class/tty" / tty / "device").parent_path().parent_path());
  fs::remove_all(root / "sys/class/tty" / tty);
  fs::remove(root / "dev" / tty);
}

std::string bound(PortTable& t, int com) {
  auto d = t.find(com);
  return d ? d->name : "-";
}

}  // namespace

TEST_F(FakeTree, ANumberStaysWithItsDeviceWhileOthersComeAndGo) {
  for (int i = 0; i < 4; ++i) adapter(root, "ttyUSB" + std::to_string(i), "S" + std::to_string(i), "1-" + std::to_string(i));
  PortTable t{PortResolver(root.string())};
  EXPECT_EQ(bound(t, 2), "ttyUSB1");
  unplug(root, "ttyUSB1");
  t.refresh();
  auto c = t.takeChanges();
  EXPECT_EQ(c.left, (std::vector<int16_t>{2}));
  // Entry "2" is gone, not ttyUSB2 under another name; "4" is still ttyUSB3.
  EXPECT_EQ(bound(t, 2), "-");
  EXPECT_EQ(bound(t, 3), "ttyUSB2");
  EXPECT_EQ(bound(t, 4), "ttyUSB3");
  // Back, by the same name: the number is free again and the rule's.
  adapter(root, "ttyUSB1", "S1", "1-1");
  t.refresh();
  EXPECT_EQ(t.takeChanges().arrived, (std::vector<int16_t>{2}));
  EXPECT_EQ(bound(t, 2), "ttyUSB1");
}

TEST_F(FakeTree, ARememberedDeviceIsFoundUnderItsNewNumber) {
  adapter(root, "ttyUSB0", "A", "1-1");
  adapter(root, "ttyUSB1", "B", "1-2");
  PortTable before{PortResolver(root.string())};
  const std::string b = before.identityOfCom(2);
  // Another day: A is not plugged in, and B is COM1.
  unplug(root, "ttyUSB0");
  unplug(root, "ttyUSB1");
  adapter(root, "ttyUSB0", "B", "1-2");
  PortTable after{PortResolver(root.string())};
  EXPECT_EQ(after.comOfIdentity(b), 1);
  EXPECT_EQ(after.comOfIdentity(before.identityOfCom(1)), 0) << "A is not there";
  EXPECT_EQ(after.identityOfCom(5), "");
}

TEST_F(FakeTree, SwapsQuickReplugsAndBurstsEndMatchingTheDevices) {
  adapter(root, "ttyUSB0", "A", "1-1");
  adapter(root, "ttyUSB1", "B", "1-2");
  PortTable t{PortResolver(root.string())};
  EXPECT_EQ(bound(t, 1), "ttyUSB0");
  t.setInUse(1);
  // A is replugged before its old node is gone: the new node is A's now.
  fs::remove_all(root / "sys/class/tty/ttyUSB0");
  fs::create_directories(root / "sys/class/tty/ttyUSB0");  // the stale node, no device left behind it
  adapter(root, "ttyUSB2", "A", "1-3");
  t.refresh();
  EXPECT_EQ(bound(t, 1), "ttyUSB2");
  fs::remove_all(root / "sys/class/tty/ttyUSB0");
  // Swapped between sockets, both at once: each number follows its adapter.
  unplug(root, "ttyUSB1");
  unplug(root, "ttyUSB2");
  adapter(root, "ttyUSB0", "B", "1-1");
  adapter(root, "ttyUSB1", "A", "1-2");
  t.refresh();
  EXPECT_EQ(bound(t, 1), "ttyUSB1");
  EXPECT_EQ(bound(t, 2), "ttyUSB0");
  // Ten cycles of B in a row, never read in between but the last.
  for (int i = 0; i < 10; ++i) {
    unplug(root, "ttyUSB0");
    t.refresh();
    adapter(root, "ttyUSB0", "B", "1-1");
  }
  t.refresh();
  auto c = t.takeChanges();
  EXPECT_EQ(c.arrived, (std::vector<int16_t>{1, 2})) << "each number whose device went and came is told";
  EXPECT_EQ(bound(t, 2), "ttyUSB0");
  EXPECT_EQ(bound(t, 3), "-");
  // Two adapters without a serial number: each is known by its socket, and
  // the one that stays keeps its own number when the other goes.
  adapter(root, "ttyUSB5", "", "2-1");
  adapter(root, "ttyUSB6", "", "2-2");
  t.refresh();
  t.setInUse(3);
  unplug(root, "ttyUSB5");
  t.refresh();
  EXPECT_EQ(bound(t, 3), "-");
  EXPECT_EQ(bound(t, 4), "ttyUSB6");
}

TEST(Brltty, ARuleClaimingTheAdaptersIdsIsFoundAndNoOther) {
  const fs::path dir = fs::temp_directory_path() / ("tl-brltty-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "85-brltty.rules") << "# ENV{PRODUCT}==\"403/6001/*\" commented out\n"
                                            "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\"\n";
  std::ofstream(dir / "60-other.rules") << "ENV{PRODUCT}==\"10c4/ea60/*\"\n";
  const struct {
    const char *vid, *pid;
    bool claimed;
  } cases[] = {{"1a86", "7523", true}, {"1A86", "7523", true}, {"0403", "6001", false}, {"10c4", "ea60", false}};
  for (const auto& c : cases)
    EXPECT_EQ(tl::serial_linux::brlttyRuleFor(c.vid, c.pid, {(dir / "none").string(), dir.string()}),
              c.claimed ? (dir / "85-brltty.rules").string() : "")
        << c.vid << ":" << c.pid;
  fs::remove_all(dir);
}
