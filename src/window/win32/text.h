// UTF-8 (the handlers' texts) to and from UTF-16 (the Win32 API's).
#pragma once
#include <string>
#include <string_view>

namespace tl::window_win32 {
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

// A settings file's bytes as UTF-8. Notepad writes UTF-8 with a byte order
// mark, "Unicode" (UTF-16 with one) and, before Windows 10, the ANSI code
// page: each reads as the user wrote it.
std::string textAsUtf8(std::string_view bytes);
}  // namespace tl::window_win32
