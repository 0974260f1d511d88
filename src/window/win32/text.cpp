#include "window/win32/text.h"

#include <windows.h>

namespace tl::window_win32 {

namespace {

std::wstring fromCodePage(UINT codePage, std::string_view bytes, DWORD flags) {
  const int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  if (n) MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

}  // namespace

std::wstring widen(const std::string& s) { return fromCodePage(CP_UTF8, s, 0); }

std::string narrow(const std::wstring& s) {
  if (s.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string textAsUtf8(std::string_view bytes) {
  const auto utf16 = [](std::string_view b, bool bigEndian) {
    std::wstring w(b.size() / 2, L'\0');
    for (size_t i = 0; i < w.size(); ++i) {
      const auto hi = static_cast<unsigned char>(b[2 * i + (bigEndian ? 0 : 1)]);
      const auto lo = static_cast<unsigned char>(b[2 * i + (bigEndian ? 1 : 0)]);
      w[i] = static_cast<wchar_t>(hi << 8 | lo);
    }
    return narrow(w);
  };
  if (bytes.substr(0, 2) == "\xFF\xFE") return utf16(bytes.substr(2), false);
  if (bytes.substr(0, 2) == "\xFE\xFF") return utf16(bytes.substr(2), true);
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (bytes.empty() || !fromCodePage(CP_UTF8, bytes, MB_ERR_INVALID_CHARS).empty()) return std::string(bytes);
  return narrow(fromCodePage(CP_ACP, bytes, 0));
}

}  // namespace tl::window_win32
