#include "window/switches.h"

#include <cctype>

namespace tl {

namespace {

constexpr std::pair<uint8_t, const char*> kLineNames[] = {
    {lines::CTS, "CTS"}, {lines::DSR, "DSR"}, {lines::DCD, "DCD"}, {lines::RI, "RI"}};

}  // namespace

const char* lineName(uint8_t line) {
  for (auto [bit, name] : kLineNames)
    if (bit == line) return name;
  return "?";
}

uint8_t lineByName(const std::string& name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (auto [bit, n] : kLineNames)
    if (upper == n) return bit;
  return 0;
}

}  // namespace tl
