// UTF-8 (the handlers' texts) to and from UTF-16 (the Win32 API's).
#pragma once
#include <string>

namespace tl::window_win32 {
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);
}  // namespace tl::window_win32
