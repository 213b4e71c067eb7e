// Drives a running quelma.exe from outside, as a user would: menu commands, window messages,
// answers to its message boxes, and the texts of its status bar. Exit 0 when done, 1 when the
// window or the box did not turn up within ten seconds.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HWND WaitFor(const char* className, const char* title) {
  for (int i = 0; i < 200; ++i) {
    if (HWND w = FindWindowA(className, title)) return w;
    Sleep(50);
  }
  return nullptr;
}

// The status bar's part text, read through the W message (the A one hands UTF-16 back across
// processes under Wine) and written out as UTF-8.
int PrintStatusText(HWND window, int part) {
  HWND bar = GetDlgItem(window, 1034);
  if (!bar) return 1;
  const DWORD length = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, part, 0));
  DWORD process = 0;
  GetWindowThreadProcessId(bar, &process);
  HANDLE other = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process);
  if (!other) return 1;
  const SIZE_T bytes = (length + 1) * sizeof(wchar_t);
  void* remote = VirtualAllocEx(other, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
  SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(remote));
  std::wstring text(length + 1, L'\0');
  SIZE_T got = 0;
  ReadProcessMemory(other, remote, text.data(), bytes, &got);
  VirtualFreeEx(other, remote, 0, MEM_RELEASE);
  CloseHandle(other);
  text.resize(wcslen(text.c_str()));
  std::string utf8(text.size() * 4 + 1, '\0');
  utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr) - 1);
  std::printf("%s\n", utf8.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_driver command ID | send NUMBER | answer CAPTION yes|no | status PART | wait-gone\n");
    return 2;
  }
  const std::string what = argv[1];
  if (what == "answer" && argc == 4) {
    HWND box = WaitFor("#32770", argv[2]);
    if (!box) return 1;
    PostMessageA(box, WM_COMMAND, std::strcmp(argv[3], "yes") == 0 ? IDYES : IDNO, 0);
    return 0;
  }
  HWND window = WaitFor("MailServer", "Quelmar mail server");
  if (!window) return 1;
  if (what == "command" && argc == 3) return PostMessageA(window, WM_COMMAND, std::atoi(argv[2]), 0) ? 0 : 1;
  if (what == "send" && argc == 3) {
    PostMessageA(window, static_cast<UINT>(std::atoi(argv[2])), 0, 0);
    return 0;
  }
  if (what == "status" && argc == 3) return PrintStatusText(window, std::atoi(argv[2]));
  if (what == "wait-gone") {
    for (int i = 0; i < 400 && IsWindow(window); ++i) Sleep(50);
    return IsWindow(window) ? 1 : 0;
  }
  return 2;
}
