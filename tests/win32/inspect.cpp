// Looks at a running Tastlink from another process, as a person would:
//   inspect box    -> the error report's text (exit 1 if there is none)
//   inspect main   -> the main window's list, selection and visibility
//   inspect ok     -> presses OK on the error report
//   inspect close  -> closes the main window like its close button
//   inspect shift  -> "shift=1" while Shift is down for the whole desktop
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::wstring& s) {
  if (s.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// A named CALLBACK function: a lambda converts only to the default calling
// convention, which on i686 is not WNDENUMPROC's stdcall.
BOOL CALLBACK matchBox(HWND h, LPARAM lp) {
  wchar_t cls[64] = {}, title[64] = {};
  GetClassNameW(h, cls, 64);
  GetWindowTextW(h, title, 64);
  if (std::wstring(cls) == L"#32770" && std::wstring(title) == L"Tastlink" && IsWindowVisible(h)) {
    *reinterpret_cast<HWND*>(lp) = h;
    return FALSE;
  }
  return TRUE;
}

HWND findBox() {
  HWND found = nullptr;
  EnumWindows(matchBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring what = argc > 1 ? argv[1] : L"";
  if (what == L"shift") {
    std::printf("shift=%d\n", (GetAsyncKeyState(VK_SHIFT) & 0x8000) ? 1 : 0);
    return 0;
  }
  if (what == L"box" || what == L"ok") {
    HWND box = findBox();
    if (!box) return 1;
    if (what == L"ok") {
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
    // The message text is the static control 0xFFFF of the message box.
    wchar_t text[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    std::printf("%s\n", utf8(text).c_str());
    return 0;
  }
  HWND main = FindWindowW(L"TastlinkForm1", L"Tastlink");
  if (!main) return 1;
  if (what == L"close") {
    PostMessageW(main, WM_CLOSE, 0, 0);
    return 0;
  }
  HWND combo = GetDlgItem(main, 103);
  const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  std::string list;
  for (int i = 0; i < count; ++i) {
    wchar_t item[32] = {};
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
    list += (i ? "," : "") + utf8(item);
  }
  const int sel = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
  wchar_t label[128] = {};
  GetDlgItemTextW(main, 101, label, 128);
  std::printf("list=%s\nselected=%d\nvisible=%d\nlabel=%s\n", list.c_str(), sel, IsWindowVisible(main) ? 1 : 0,
              utf8(label).c_str());
  return 0;
}
