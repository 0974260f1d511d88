// src/core is the foundation every other folder stands on, and it points at
// nothing above it: the program's error and error numbers, the runtime's
// conversions (here) and the German report sentences (reports.h); core/linux
// holds the German reasons for the system's error codes.
//
// The few pieces of the forms runtime the handlers lean on: its error object,
// its text-to-number conversion, and the report of an error that ends the
// program. Portable: no OS or toolkit headers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tl {

// An error as the program reports it: a number and a German description.
// Errors travel like exceptions; no handler catches them, the top level
// reports them and ends the program.
class Error : public std::runtime_error {
 public:
  Error(int number, std::string description)
      : std::runtime_error(description), number_(number), description_(std::move(description)) {}
  int number() const noexcept { return number_; }
  const std::string& description() const noexcept { return description_; }

 private:
  int number_;
  std::string description_;
};

// Error numbers the program raises. The numbers below 1000 follow the forms
// runtime's classic codes so that a user's report reads as it always did.
namespace err {
constexpr int kOverflow = 6;
constexpr int kTypeMismatch = 13;
constexpr int kFileNotFound = 53;
constexpr int kBadFileNumber = 52;
constexpr int kIoError = 57;
constexpr int kDeviceUnavailable = 68;
constexpr int kPermissionDenied = 70;
constexpr int kPathAccess = 75;
constexpr int kInvalidPropertyValue = 380;
// Serial line control
constexpr int kPortAlreadyOpen = 8005;
constexpr int kPortInUse = 8006;  // held by another program
constexpr int kInvalidPort = 8002;
constexpr int kPortNotOpen = 8012;
constexpr int kLineFailed = 8015;  // the line went away while open
constexpr int kKeyInjection = 9001;
}  // namespace err

// The runtime's conversion of a text to a 16-bit signed integer: blanks
// around the number are allowed, a fraction rounds half to even, anything
// else is a type mismatch and a value outside -32768..32767 an overflow.
int16_t CInt(const std::string& text);

// The message-box text for an error that left a handler.
std::string errorReportText(const Error& e);

}  // namespace tl
