// The port probe: which of COM1..COM16 exist and are free, found by opening
// each through the file layer, one at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tl::comport {

// The runtime's file layer, as far as the probe needs it. Open raises an
// Error when the name cannot be opened.
class FileLayer {
 public:
  virtual ~FileLayer() = default;
  virtual int16_t FreeFile() = 0;
  virtual void Open(const std::string& name, int16_t fileNumber) = 0;
  virtual void Close(int16_t fileNumber) = 0;
};

// Where the probe puts the ports it found: the port list, as far as the
// probe needs it.
class PortList {
 public:
  virtual ~PortList() = default;
  virtual void AddItem(const std::string& text) = 0;
};

// A port whose device exists but would not open, kept so that an empty list
// can be explained to the user.
struct ProbeFailure {
  int port;
  std::string description;
};

struct ProbeResult {
  std::vector<ProbeFailure> failures;
};

// "COM3:9600,n,8,1" for port 3.
std::string probeName(int16_t port);

// The port number of a device name "COMn" or "COMn:settings", else 0: how
// the file layers tell a serial device from a file.
int portNumberOf(const std::string& name);

// Appends the number of every port among COM1..COM16 that opens to the list,
// in ascending order. Never raises an error.
ProbeResult FindPorts(FileLayer& files, PortList& list);

// The same test for one port that has just appeared: it opens, and is closed
// again. Never raises an error; where the device is there but refused,
// `why` (if given) gets the reason.
bool ProbePort(FileLayer& files, int16_t port, std::string* why = nullptr);

// Ports that came and went, as the platform's device events tell.
struct PortChanges {
  std::vector<int16_t> arrived;
  std::vector<int16_t> left;
  // What the platform saw and the user should know (an adapter taken by
  // another service as soon as it came), in German.
  std::vector<std::string> notes = {};
  bool empty() const { return arrived.empty() && left.empty() && notes.empty(); }
};

// The platform's view of its serial devices over time. A port keeps its
// number for as long as its device stays (and the port in use keeps it
// while the program waits for its device to come back): a number never
// silently stands for another device.
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
  // A descriptor that becomes readable when devices may have changed, for
  // front ends that wait on descriptors; -1 where the front end hears of
  // changes another way (WM_DEVICECHANGE).
  virtual int fd() const { return -1; }
  // What came and went since the last call.
  virtual PortChanges changes() = 0;
  // The system named a port as arrived or gone (Windows' device messages
  // do), for changes() to count even when a look before and after cannot
  // tell: a device pulled and put back between two looks.
  virtual void announced(int16_t /*port*/, bool /*arrived*/) {}
};

}  // namespace tl::comport
