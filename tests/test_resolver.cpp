// COM numbering on Linux against fake /dev + /sys trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "serial/linux/port_resolver.h"

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
