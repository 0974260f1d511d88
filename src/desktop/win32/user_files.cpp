#include "desktop/win32/user_files.h"

#include <algorithm>
#include <cstring>

#include "core/reports.h"
#include "core/runtime.h"
#include "serial/win32/win_error.h"
#include "window/win32/text.h"

namespace tl::desktop_win32 {

namespace {

using window_win32::narrow;
using window_win32::textAsUtf8;
using window_win32::widen;

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Tastlink";
// No settings file is this large; a bigger one is not read into memory.
constexpr LONGLONG kMaxFileBytes = 1 << 20;

// Win32 calls that fill a buffer answer with the length written, or with at
// least the buffer's size when it was too small.
template <typename Fill>
std::wstring filled(Fill fill) {
  std::wstring text(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = fill(text.data(), static_cast<DWORD>(text.size()));
    if (n < text.size()) {
      text.resize(n);
      return text;
    }
    text.resize(std::max<size_t>(n, text.size() * 2));
  }
}

std::wstring environment(const wchar_t* name) {
  return filled([name](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(name, buffer, size); });
}

std::wstring exePath() {
  return filled([](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
}

struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// The whole file; false with the failed call when it cannot be read, and
// `missing` when it is not there at all.
bool readFile(const std::wstring& path, std::string& bytes, bool& missing, serial_win32::CallFailure& failure) {
  Handle f{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (f.h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    failure = {"CreateFile", e};
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.h, &size)) {
    failure = {"GetFileSizeEx", GetLastError()};
    return false;
  }
  if (size.QuadPart > kMaxFileBytes) {
    failure = {"GetFileSizeEx", ERROR_FILE_TOO_LARGE};
    return false;
  }
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  if (!bytes.empty() && !ReadFile(f.h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
    failure = {"ReadFile", GetLastError()};
    return false;
  }
  bytes.resize(got);
  return true;
}

// Written beside and moved over the old file: a crash mid-write never
// leaves half a file.
bool writeFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring temp = path + L".neu";
  {
    Handle f{CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    DWORD written = 0;
    if (f.h == INVALID_HANDLE_VALUE ||
        !WriteFile(f.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
      return false;
  }
  return MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

std::wstring mutexName(int port) {
  // "Local\": one program per user session, as a user sees it.
  return port ? L"Local\\Tastlink.COM" + std::to_wstring(port) : L"Local\\Tastlink";
}

// The port marks this process holds, with how many holders each has; only
// the window's thread takes and drops them.
std::map<int, std::pair<HANDLE, int>>& heldMarks() {
  static std::map<int, std::pair<HANDLE, int>> marks;
  return marks;
}

// An open line with its port's mark, dropped after the line has closed.
class MarkedLine : public OpenLine {
 public:
  MarkedLine(std::unique_ptr<OpenLine> line, std::unique_ptr<PortMark> mark)
      : line_(std::move(line)), mark_(std::move(mark)) {}
  ~MarkedLine() override { line_.reset(); }
  uint8_t levels() override { return line_->levels(); }

 private:
  std::unique_ptr<OpenLine> line_;
  std::unique_ptr<PortMark> mark_;
};

constexpr wchar_t kPortProperty[] = L"Tastlink.Port";
constexpr wchar_t kTrayProperty[] = L"Tastlink.InTray";

// The window of the copy on `port`; with none, of any copy.
struct Search {
  INT_PTR port;
  HWND found;
};

BOOL CALLBACK matchWindow(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<Search*>(lp);
  const auto label = reinterpret_cast<INT_PTR>(GetPropW(h, kPortProperty));
  if (!label || (s->port && label - 1 != s->port)) return TRUE;
  s->found = h;
  return FALSE;
}

// Without a name the object is not shared; a name already taken by an
// object of another kind makes no mutex: both count as no other copy.
bool takeMutex(const std::wstring& name, std::vector<HANDLE>& held) {
  SetLastError(ERROR_SUCCESS);
  HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
  const bool existed = h && GetLastError() == ERROR_ALREADY_EXISTS;
  if (h) held.push_back(h);
  return existed;
}

}  // namespace

std::wstring settingsFolder() {
  std::wstring base = environment(L"APPDATA");
  if (base.empty()) {
    base = environment(L"USERPROFILE");
    if (base.empty()) return {};
    base += L"\\AppData\\Roaming";
  }
  return base + L"\\Tastlink";
}

app::IniFile readSettings(const std::wstring& folder) {
  if (folder.empty()) return {};
  const std::wstring path = folder + L"\\tastlink.ini";
  std::string bytes;
  bool missing = false;
  serial_win32::CallFailure failure;
  if (!readFile(path, bytes, missing, failure)) {
    if (missing) return {narrow(path), {}};
    // The program's own limit, not the system's failure.
    if (failure.code == ERROR_FILE_TOO_LARGE)
      throw app::SettingsError("Die Einstellungsdatei " + narrow(path) + " ist größer als " +
                               std::to_string(kMaxFileBytes >> 20) +
                               " MiB; so groß ist keine Einstellungsdatei, Tastlink liest sie nicht. Bitte die "
                               "Datei prüfen oder löschen.");
    throw app::SettingsError("Die Einstellungsdatei " + narrow(path) +
                             " lässt sich nicht lesen: " + serial_win32::reasonWithCall(failure) + ".");
  }
  return app::parseIni(textAsUtf8(bytes), narrow(path));
}

std::string rememberedPort(const std::wstring& folder) {
  std::string bytes;
  bool missing = false;
  serial_win32::CallFailure failure;
  if (folder.empty() || !readFile(folder + L"\\state.ini", bytes, missing, failure)) return {};
  try {
    for (const app::IniValue& v : app::parseIni(textAsUtf8(bytes), "state.ini").values)
      if (_stricmp(v.key.c_str(), "lastPort") == 0) return v.value;
  } catch (const app::SettingsError&) {
    // Not ours any more (edited by hand): nothing remembered.
  }
  return {};
}

void rememberPort(const std::wstring& folder, const std::string& port) {
  if (folder.empty()) return;
  CreateDirectoryW(folder.c_str(), nullptr);
  writeFile(folder + L"\\state.ini",
            "; Von Tastlink geschrieben: der zuletzt gewählte Anschluss (remember=true).\r\n"
            "[General]\r\nlastPort=" + port + "\r\n");
}

std::wstring autostartCommand(const std::wstring& exe) { return L"\"" + exe + L"\" --minimized --wait-for-port"; }

bool inTemporaryFolder(const std::wstring& exe) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return false;
  // The same folder may be named short (8.3) or long.
  wchar_t full[MAX_PATH + 1];
  const DWORD m = GetLongPathNameW(temp, full, MAX_PATH + 1);
  for (const std::wstring& dir : {std::wstring(temp, n), m && m <= MAX_PATH ? std::wstring(full, m) : std::wstring()})
    if (!dir.empty() && exe.size() > dir.size() &&
        CompareStringOrdinal(exe.c_str(), static_cast<int>(dir.size()), dir.c_str(), static_cast<int>(dir.size()), TRUE) ==
            CSTR_EQUAL)
      return true;
  return false;
}

std::string setAutostart(bool on) {
  // An entry pointing into the temporary folder breaks once it is cleaned.
  if (on && inTemporaryFolder(exePath()))
    return "Tastlink läuft aus einem vorübergehenden Ordner (" + narrow(exePath()) +
           "), wohl direkt aus der ZIP-Datei. Bitte die ZIP-Datei zuerst ganz entpacken (Rechtsklick, „Alle "
           "extrahieren“), zum Beispiel nach Dokumente\\Tastlink, und den Autostart von dort einschalten.";
  HKEY key = nullptr;
  LSTATUS r = on ? RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr)
                 : RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key);
  const char* call = on ? "RegCreateKeyEx" : "RegOpenKeyEx";
  if (r == ERROR_SUCCESS) {
    if (on) {
      const std::wstring command = autostartCommand(exePath());
      r = RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                         static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
      call = "RegSetValueEx";
    } else {
      r = RegDeleteValueW(key, kRunValue);
      call = "RegDeleteValue";
    }
    RegCloseKey(key);
  }
  // Nothing to remove is what "off" asks for.
  if (r == ERROR_SUCCESS || (!on && r == ERROR_FILE_NOT_FOUND)) return {};
  return std::string("Der Autostart-Eintrag lässt sich nicht ") + (on ? "anlegen" : "entfernen") + ": " +
         serial_win32::reasonWithCall({call, static_cast<DWORD>(r)}) + ".";
}

PortMark::PortMark(int port) : port_(port) {
  auto& marks = heldMarks();
  if (auto it = marks.find(port); it != marks.end()) {
    ++it->second.second;
    return;
  }
  std::vector<HANDLE> taken;
  others_ = takeMutex(mutexName(port), taken);
  if (taken.empty()) return;
  if (others_) {
    CloseHandle(taken[0]);
    return;
  }
  marks[port] = {taken[0], 1};
}

PortMark::~PortMark() {
  auto& marks = heldMarks();
  auto it = marks.find(port_);
  if (others_ || it == marks.end() || --it->second.second > 0) return;
  CloseHandle(it->second.first);
  marks.erase(it);
}

std::unique_ptr<OpenLine> MarkedLineDriver::open(int16_t port, bool dtr, bool rts, uint8_t watch, LineNotify notify) {
  auto mark = std::make_unique<PortMark>(port);
  // Windows lets one program open a port, but not every driver enforces it
  // (wine on a pseudo-terminal does not): two copies on one port would
  // press every key twice.
  if (mark->othersHold())
    throw Error(err::kPathAccess, reports::cannotOpen("COM" + std::to_string(port),
                                                      "ein anderes Tastlink-Fenster benutzt ihn schon", ""));
  auto line = inner_.open(port, dtr, rts, watch, std::move(notify));
  if (opened_) opened_(port);
  return std::make_unique<MarkedLine>(std::move(line), std::move(mark));
}

bool autostartOn() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  const bool there = RegQueryValueExW(key, kRunValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return there;
}

CopyMark::CopyMark(const std::string& port) {
  // Every copy marks that one runs; without a port of its own a second copy
  // would take whatever the first one has, so that mark is enough to stop
  // it. With a port, only a copy using that port is in the way, whether it
  // was told to use it or chose it.
  const bool any = takeMutex(mutexName(0), handles_);
  if (const int n = app::comNumber(port)) {
    port_ = std::make_unique<PortMark>(n);
    second_ = port_->othersHold();
  } else {
    second_ = any;
  }
}

CopyMark::~CopyMark() {
  for (HANDLE h : handles_) CloseHandle(h);
}

void CopyMark::label(HWND window, int port) {
  // Stored off by one: a property of 0 reads as none.
  SetPropW(window, kPortProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(port) + 1));
}

void CopyMark::inTray(HWND window, bool hidden) {
  if (hidden)
    SetPropW(window, kTrayProperty, reinterpret_cast<HANDLE>(1));
  else
    RemovePropW(window, kTrayProperty);
}

bool CopyMark::inTray(HWND window) { return GetPropW(window, kTrayProperty) != nullptr; }

void CopyMark::showFirst(const std::string& port) {
  // The first copy may still be probing its ports, its window not yet made.
  Search s{app::comNumber(port), nullptr};
  for (int i = 0; i < 50 && !s.found; ++i) {
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&s));
    if (!s.found) Sleep(100);
  }
  if (!s.found) return;
  // A window hidden for an error report stays hidden: the report, which it
  // owns, is what the user has to see.
  // (The report is the popup last active over it; wine does not answer
  // GW_ENABLEDPOPUP.)
  if (IsIconic(s.found) || inTray(s.found)) {
    ShowWindow(s.found, IsIconic(s.found) ? SW_RESTORE : SW_SHOW);
  } else if (!IsWindowVisible(s.found)) {
    const HWND report = GetLastActivePopup(s.found);
    if (report == s.found || !IsWindowVisible(report)) return;
    s.found = report;
  }
  // Started by the user just now, this copy may hand the foreground on.
  SetForegroundWindow(s.found);
}

}  // namespace tl::desktop_win32
