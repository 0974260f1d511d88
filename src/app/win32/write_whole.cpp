#include <windows.h>

#include "app/settings_file.h"
#include "serial/win32/win_error.h"
#include "window/win32/text.h"

namespace tl::app {

namespace {

using window_win32::narrow;
using window_win32::textAsUtf8;
using window_win32::widen;

// Where a link points: dotfiles kept elsewhere are updated where they live,
// and the link stays as it is.
std::wstring target(const std::wstring& path) {
  const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetFinalPathNameByHandleW(h, buf, MAX_PATH * 2, FILE_NAME_NORMALIZED);
  CloseHandle(h);
  return n > 0 && n < MAX_PATH * 2 ? std::wstring(buf, n) : path;
}

}  // namespace

std::string writeWhole(const std::string& path, const std::string& text) {
  const std::wstring file = target(widen(path));
  auto failed = [&](const char* call, DWORD code) {
    return "Die Einstellungsdatei " + path + " lässt sich nicht schreiben: " +
           serial_win32::reasonWithCall({call, code}) + ". Sie bleibt, wie sie war.";
  };
  const std::wstring dir = file.substr(0, file.find_last_of(L"\\/"));
  if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return failed("CreateDirectory", GetLastError());
  const std::wstring temp = file + L".neu" + std::to_wstring(GetCurrentProcessId());
  const HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return failed("CreateFile", GetLastError());
  DWORD written = 0;
  const char* call = nullptr;
  DWORD code = 0;
  if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size())
    call = "WriteFile", code = GetLastError();
  // On the disk before the rename: after a crash the name holds the old
  // file or the whole new one.
  else if (!FlushFileBuffers(h))
    call = "FlushFileBuffers", code = GetLastError();
  CloseHandle(h);
  if (!call && !MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    call = "MoveFileEx", code = GetLastError();
  if (call) {
    DeleteFileW(temp.c_str());
    return failed(call, code);
  }
  return {};
}

std::string saveSettings(const std::string& path, const Settings& want) {
  std::string text;
  const HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    CloseHandle(h);
  }
  // Whatever Notepad saved it as, it is written back as UTF-8, which
  // Notepad and the program read alike.
  const bool bom = text.rfind("\xEF\xBB\xBF", 0) == 0 || text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0;
  text = textAsUtf8(text);
  try {
    return writeWhole(path, (bom ? "\xEF\xBB\xBF" : "") + updateSettingsText(text, want, path));
  } catch (const SettingsError& e) {
    return std::string(e.what()) + " Die Einstellungen wurden nicht gespeichert; bitte zuerst die Datei berichtigen.";
  }
}

}  // namespace tl::app
