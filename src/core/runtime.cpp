#include "core/runtime.h"

#include <cctype>
#include <cmath>

namespace tl {

int16_t CInt(const std::string& text) {
  const Error mismatch(err::kTypeMismatch, "Typen unverträglich");
  size_t i = 0, n = text.size();
  auto blank = [&](size_t k) { return k < n && (text[k] == ' ' || text[k] == '\t'); };
  while (blank(i)) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  double whole = 0;
  size_t digits = 0;
  while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
    whole = whole * 10 + (text[i++] - '0');
    ++digits;
  }
  double frac = 0, scale = 0.1;
  if (i < n && (text[i] == '.' || text[i] == ',')) {
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
      frac += (text[i++] - '0') * scale;
      scale /= 10;
      ++digits;
    }
  }
  while (blank(i)) ++i;
  if (digits == 0 || i != n) throw mismatch;
  double v = std::nearbyint(whole + frac);  // default rounding mode: half to even
  if (negative) v = -v;
  if (v < -32768.0 || v > 32767.0) throw Error(err::kOverflow, "Überlauf");
  return static_cast<int16_t>(v);
}

std::string errorReportText(const Error& e) {
  return "Laufzeitfehler " + std::to_string(e.number()) + ":\n\n" + e.description();
}

}  // namespace tl
