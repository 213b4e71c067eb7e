// Loading the HTML Help control: the registered module, else "hhctrl.ocx" by name; its ANSI
// entry HtmlHelpA by ordinal 14.
#include "win32_ui/html_help.h"

#include <string>

#include "platform/paths.h"

namespace quelma::win32_ui {

namespace {

using HtmlHelpEntry = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);

struct HelpControl {
  HMODULE module = nullptr;
  HtmlHelpEntry entry = nullptr;
  bool unavailable = false;
};

HelpControl& Control() {
  static HelpControl control;  // main thread only
  return control;
}

}  // namespace

int LocateHelpControl(char (&path)[MAX_PATH]) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32", 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD type = 0;
  DWORD size = sizeof path - 1;  // room for a terminator the registry may not have stored
  const LONG read = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return 0;
  path[size] = '\0';
  return 1;
}

HWND ShowHtmlHelp(HWND caller, const char* target, UINT command, DWORD_PTR data) {
  HelpControl& help = Control();
  if (help.unavailable) return nullptr;
  if (!help.module) {
    char path[MAX_PATH] = {};
    if (LocateHelpControl(path)) {
      char expanded[MAX_PATH] = {};
      const DWORD length = ExpandEnvironmentStringsA(path, expanded, sizeof expanded);
      help.module = LoadLibraryA(length > 0 && length <= sizeof expanded ? expanded : path);
    }
    if (!help.module) help.module = LoadLibraryA("hhctrl.ocx");
    if (!help.module) {
      help.unavailable = true;
      return nullptr;
    }
  }
  if (!help.entry) {
    help.entry = reinterpret_cast<HtmlHelpEntry>(
        reinterpret_cast<void*>(GetProcAddress(help.module, MAKEINTRESOURCEA(14))));
    if (!help.entry) {
      help.unavailable = true;
      return nullptr;
    }
  }
  // The help file lies beside quelma.exe, which need not be the program directory (an installed
  // copy keeps its mail and settings elsewhere).
  const auto programFolder = platform::ExecutableDirectory();
  const std::string besideProgram = programFolder ? *programFolder + target : std::string(target);
  return help.entry(caller, besideProgram.c_str(), command, data);
}

}  // namespace quelma::win32_ui
