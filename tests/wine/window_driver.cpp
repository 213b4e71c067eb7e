// Drives a running quelma.exe from outside, as a user would: menu commands, window messages,
// keys, tray clicks, answers to its boxes, and what its windows show. Windows are named by
// class and title, "-" for any. Exit 0 when done, 1 when a window did not turn up within ten
// seconds.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT kTrayMessage = WM_USER + 3;

const char* OrNull(const char* name) { return std::strcmp(name, "-") == 0 ? nullptr : name; }

HWND WaitFor(const char* className, const char* title) {
  for (int i = 0; i < 200; ++i) {
    if (HWND w = FindWindowA(OrNull(className), OrNull(title))) return w;
    Sleep(50);
  }
  return nullptr;
}

HWND MainWindow() { return WaitFor("MailServer", "Quelmar mail server"); }

// Reads status-bar texts of the other process through the W messages (the A ones hand UTF-16
// back across processes under Wine) and gives them as UTF-8.
class StatusReader {
 public:
  explicit StatusReader(HWND window) : bar_(GetDlgItem(window, 1034)) {
    DWORD process = 0;
    GetWindowThreadProcessId(bar_, &process);
    other_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process);
    if (other_) remote_ = VirtualAllocEx(other_, nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE);
  }
  ~StatusReader() {
    if (remote_) VirtualFreeEx(other_, remote_, 0, MEM_RELEASE);
    if (other_) CloseHandle(other_);
  }
  bool ok() const { return bar_ && remote_; }

  std::string text(int part) {
    const DWORD length = LOWORD(SendMessageW(bar_, SB_GETTEXTLENGTHW, part, 0));
    if (length * sizeof(wchar_t) >= kBytes) return "?";
    SendMessageW(bar_, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(remote_));
    std::wstring wide(length + 1, L'\0');
    SIZE_T got = 0;
    ReadProcessMemory(other_, remote_, wide.data(), (length + 1) * sizeof(wchar_t), &got);
    wide.resize(wcslen(wide.c_str()));
    std::string utf8(wide.size() * 4 + 1, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                    nullptr) - 1);
    return utf8;
  }

  // The position of progress bar 0 (SMTP) or 1 (POP3), children of the status bar in that order.
  int progress(int which) {
    HWND bar = FindWindowExA(bar_, nullptr, PROGRESS_CLASSA, nullptr);
    if (which == 1 && bar) bar = FindWindowExA(bar_, bar, PROGRESS_CLASSA, nullptr);
    return bar ? static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)) : -1;
  }

 private:
  static constexpr SIZE_T kBytes = 4096;
  HWND bar_;
  HANDLE other_ = nullptr;
  void* remote_ = nullptr;
};

// Every change of the two labels and the two progress bars for `seconds`, one line each:
// "SMTP-label|SMTP-progress|POP3-label|POP3-progress".
int Watch(HWND window, int seconds) {
  StatusReader reader(window);
  if (!reader.ok()) return 1;
  std::string last;
  for (DWORD end = GetTickCount() + seconds * 1000u; GetTickCount() < end;) {
    const std::string now = reader.text(0) + "|" + std::to_string(reader.progress(0)) + "|" + reader.text(2) + "|" +
                            std::to_string(reader.progress(1));
    if (now != last) {
      std::printf("%s\n", now.c_str());
      std::fflush(stdout);
      last = now;
    }
    Sleep(20);
  }
  return 0;
}

struct Count {
  const char* className;
  const char* title;
  int found = 0;
};

BOOL CALLBACK CountOne(HWND window, LPARAM data) {
  auto& c = *reinterpret_cast<Count*>(data);
  char name[256] = {}, text[256] = {};
  GetClassNameA(window, name, sizeof name);
  GetWindowTextA(window, text, sizeof text);
  if ((!c.className || std::strcmp(name, c.className) == 0) && (!c.title || std::strcmp(text, c.title) == 0) &&
      IsWindowVisible(window)) {
    ++c.found;
  }
  return TRUE;
}

// Starts a program with a show command and waits for it: its exit code is ours.
int LaunchAndWait(const char* path, int show) {
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESHOWWINDOW;
  start.wShowWindow = static_cast<WORD>(show);
  PROCESS_INFORMATION process{};
  std::string command = std::string("\"") + path + "\"";
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &process)) {
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 2;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// A control of a dialog (found by its title) in the other process: its text set or read, a
// click, or the selection of row `index` in a list view, list box or drop-down list.
// The whole text of control `id` of a top-level window of any class, as UTF-8 (the settings
// check's report is longer than a dialog field).
int WindowText(const char* className, const char* title, int id) {
  HWND window = WaitFor(className, title);
  HWND control = window ? GetDlgItem(window, id) : nullptr;
  if (!control) return 1;
  std::wstring wide(static_cast<std::size_t>(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
  wide.resize(SendMessageW(control, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(wide.data())));
  std::string utf8(wide.size() * 4 + 1, '\0');
  utf8.resize(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                  nullptr) - 1);
  std::printf("%s\n", utf8.c_str());
  return 0;
}

int ControlCommand(const std::string& what, const char* title, int id, const char* value) {
  HWND dialog = WaitFor("#32770", title);
  HWND control = dialog ? GetDlgItem(dialog, id) : nullptr;
  if (!control) return 1;
  if (what == "set-text") {
    std::wstring wide(std::strlen(value) + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, value, -1, wide.data(), static_cast<int>(wide.size())) - 1);
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    return 0;
  }
  if (what == "click") return PostMessageA(control, BM_CLICK, 0, 0) ? 0 : 1;
  if (what == "text") {
    // WM_GETTEXT crosses the process boundary; the W form keeps the Cyrillic letters.
    std::wstring wide(4096, L'\0');
    wide.resize(SendMessageW(control, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(wide.data())));
    std::string utf8(wide.size() * 4 + 1, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                    nullptr) - 1);
    std::printf("%s\n", utf8.c_str());
    return 0;
  }
  const int index = std::atoi(value);
  char kind[64] = {};
  GetClassNameA(control, kind, sizeof kind);
  if (std::strcmp(kind, "ListBox") == 0) return SendMessageA(control, LB_SETCURSEL, index, 0) == LB_ERR ? 1 : 0;
  if (std::strcmp(kind, "ComboBox") == 0) {
    if (SendMessageA(control, CB_SETCURSEL, index, 0) == CB_ERR) return 1;
    // As after a user's choice, which CB_SETCURSEL alone does not announce.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(control));
    return 0;
  }
  // A list view takes its item through the other process's memory.
  DWORD process = 0;
  GetWindowThreadProcessId(control, &process);
  HANDLE other = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process);
  if (!other) return 1;
  LVITEMA item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  void* remote = VirtualAllocEx(other, nullptr, sizeof item, MEM_COMMIT, PAGE_READWRITE);
  SIZE_T written = 0;
  WriteProcessMemory(other, remote, &item, sizeof item, &written);
  const LRESULT done = SendMessageA(control, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(remote));
  VirtualFreeEx(other, remote, 0, MEM_RELEASE);
  CloseHandle(other);
  return done ? 0 : 1;
}

void PressKey(HWND window, WPARAM key) {
  PostMessageA(window, WM_KEYDOWN, key, 1);
  PostMessageA(window, WM_KEYUP, key, 0xC0000001);
}

// A key typed on the keyboard, into `window` brought to the front: unlike a posted key, it
// passes the system's keyboard handling, which turns F1 into WM_HELP.
void TypeKey(HWND window, WORD key) {
  SetForegroundWindow(window);
  Sleep(200);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, input, sizeof(INPUT));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: window_driver command ID | send NUMBER | syscommand NUMBER | tray MOUSE-MESSAGE | "
                 "status PART | visible | watch SECONDS | wait-gone | launch PATH SHOW |\n"
                 "       answer CAPTION yes|no | post-command CLASS TITLE ID | key|type CLASS TITLE VK | close CLASS TITLE |"
                 " wait CLASS TITLE | count CLASS TITLE |\n"
                 "       set-text DIALOG-TITLE ID TEXT | text DIALOG-TITLE ID | click DIALOG-TITLE ID |"
                 " select DIALOG-TITLE ID INDEX | hold-mutex NAME SECONDS | window-text CLASS TITLE ID\n");
    return 2;
  }
  const std::string what = argv[1];
  if (what == "launch" && argc == 4) return LaunchAndWait(argv[2], std::atoi(argv[3]));
  if (what == "hold-mutex" && argc == 4) {  // a running copy, as an installer sees it, that never ends
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
    Sleep(static_cast<DWORD>(std::atoi(argv[3])) * 1000);
    if (mutex) CloseHandle(mutex);
    return mutex ? 0 : 1;
  }
  if (what == "answer" && argc == 4) {
    HWND box = WaitFor("#32770", argv[2]);
    if (!box) return 1;
    PostMessageA(box, WM_COMMAND, std::strcmp(argv[3], "yes") == 0 ? IDYES : IDNO, 0);
    return 0;
  }
  if (argc == 4 && (what == "wait" || what == "close" || what == "count")) {
    if (what == "count") {
      Count c{OrNull(argv[2]), OrNull(argv[3])};
      EnumWindows(CountOne, reinterpret_cast<LPARAM>(&c));
      std::printf("%d\n", c.found);
      return 0;
    }
    HWND w = WaitFor(argv[2], argv[3]);
    if (!w) return 1;
    if (what == "close") PostMessageA(w, WM_CLOSE, 0, 0);
    return 0;
  }
  if (what == "window-text" && argc == 5) return WindowText(argv[2], argv[3], std::atoi(argv[4]));
  if ((what == "set-text" || what == "select") && argc == 5) return ControlCommand(what, argv[2], std::atoi(argv[3]), argv[4]);
  if ((what == "click" || what == "text") && argc == 4) return ControlCommand(what, argv[2], std::atoi(argv[3]), "");
  if (argc == 5 && (what == "post-command" || what == "key" || what == "type")) {
    HWND w = WaitFor(argv[2], argv[3]);
    if (!w) return 1;
    if (what == "type") {
      TypeKey(w, static_cast<WORD>(std::atoi(argv[4])));
    } else if (what == "key") {
      PressKey(w, static_cast<WPARAM>(std::atoi(argv[4])));
    } else {
      PostMessageA(w, WM_COMMAND, static_cast<WPARAM>(std::atoi(argv[4])), 0);
    }
    return 0;
  }
  HWND window = MainWindow();
  if (!window) return 1;
  if (what == "command" && argc == 3) return PostMessageA(window, WM_COMMAND, std::atoi(argv[2]), 0) ? 0 : 1;
  if (what == "send" && argc == 3) return PostMessageA(window, static_cast<UINT>(std::atoi(argv[2])), 0, 0) ? 0 : 1;
  if (what == "syscommand" && argc == 3) return PostMessageA(window, WM_SYSCOMMAND, std::atoi(argv[2]), 0) ? 0 : 1;
  if (what == "tray" && argc == 3) {
    // The mouse stands on the icon, at the screen's bottom right, as after a real click.
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 10, GetSystemMetrics(SM_CYSCREEN) - 10);
    return PostMessageA(window, kTrayMessage, 100, std::atoi(argv[2])) ? 0 : 1;
  }
  if (what == "visible") {
    std::printf("%d\n", IsWindowVisible(window) ? 1 : 0);
    return 0;
  }
  if (what == "status" && argc == 3) {
    StatusReader reader(window);
    if (!reader.ok()) return 1;
    std::printf("%s\n", reader.text(std::atoi(argv[2])).c_str());
    return 0;
  }
  if (what == "watch" && argc == 3) return Watch(window, std::atoi(argv[2]));
  if (what == "wait-gone") {
    for (int i = 0; i < 400 && IsWindow(window); ++i) Sleep(50);
    return IsWindow(window) ? 1 : 0;
  }
  return 2;
}
