#include "serial/comport.h"

#include <cctype>

#include "core/runtime.h"

namespace tl::comport {

namespace {

// The runtime's error state while errors resume at the next statement.
struct ErrState {
  int Number = 0;
  std::string Description;
  void Clear() {
    Number = 0;
    Description.clear();
  }
};

template <typename Step>
void resumeNext(ErrState& Err, Step&& step) {
  try {
    step();
  } catch (const Error& e) {
    Err.Number = e.number();
    Err.Description = e.description();
  } catch (const std::exception& e) {
    Err.Number = err::kIoError;
    Err.Description = e.what();
  }
}

bool deviceIsAbsent(int number) {
  return number == err::kDeviceUnavailable || number == err::kFileNotFound;
}

}  // namespace

std::string probeName(int16_t port) { return "COM" + std::to_string(port) + ":9600,n,8,1"; }

int portNumberOf(const std::string& name) {
  if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "com") != 0)) return 0;
  size_t i = 3;
  int n = 0;
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) && n < 1000)
    n = n * 10 + (name[i++] - '0');
  if (i == 3 || (i < name.size() && name[i] != ':')) return 0;
  return n;
}

bool ProbePort(FileLayer& files, int16_t port, std::string* why) {
  try {
    const int16_t fileNumber = files.FreeFile();
    files.Open(probeName(port), fileNumber);
    files.Close(fileNumber);
    return true;
  } catch (const Error& e) {
    if (why && !deviceIsAbsent(e.number())) *why = e.description();
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

ProbeResult FindPorts(FileLayer& files, PortList& list) {
  ProbeResult result;
  ErrState Err;
  int16_t i = 0;
  int16_t fileNumber = 0;
  std::string name;
  for (i = 1; i <= 16; ++i) {
    name = probeName(i);
    resumeNext(Err, [&] { fileNumber = files.FreeFile(); });
    Err.Clear();
    resumeNext(Err, [&] { files.Open(name, fileNumber); });
    if (Err.Number == 0) {
      resumeNext(Err, [&] { list.AddItem(std::to_string(i)); });
      resumeNext(Err, [&] { files.Close(fileNumber); });
    } else if (!deviceIsAbsent(Err.Number)) {
      result.failures.push_back({i, Err.Description});
    }
  }
  return result;
}

}  // namespace tl::comport
