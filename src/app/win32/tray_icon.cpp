// The tray icon: added at start-up, deleted at shutdown; its clicks and its menu.
#include "app/win32/tray_icon.h"

#include "link/main_window.h"
#include "resource_ids.h"

namespace quelma::app {
namespace {

// Into a field of the record, cut to its room (the system's texts are single-byte Windows-1251).
template <std::size_t kRoom>
void CopyCut(char (&field)[kRoom], const std::string& text) {
  static_assert(kRoom > 4);
  std::string fitted = text;
  if (fitted.size() >= kRoom) fitted = fitted.substr(0, kRoom - 4) + "...";
  lstrcpynA(field, fitted.c_str(), static_cast<int>(kRoom));
}

}  // namespace

void AddTrayIcon(NOTIFYICONDATAA& record, HWND window, HICON icon) {
  record = {};
  record.cbSize = sizeof record;
  record.hWnd = window;
  record.uID = IDI_QUELMA;
  record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  record.uCallbackMessage = link::UM_TRAY_ICON;
  record.hIcon = icon;
  lstrcpynA(record.szTip, "Quelmar Mail Server", sizeof record.szTip);
  Shell_NotifyIconA(NIM_ADD, &record);
}

void DeleteTrayIcon(NOTIFYICONDATAA& record) {
  if (record.hWnd) Shell_NotifyIconA(NIM_DELETE, &record);
}

void ShowTrayBalloon(const NOTIFYICONDATAA& record, const std::string& title, const std::string& text) {
  if (!record.hWnd) return;
  NOTIFYICONDATAA balloon = record;  // the icon's own fields stay as they are
  balloon.uFlags = NIF_INFO;
  balloon.dwInfoFlags = NIIF_WARNING;
  balloon.uTimeout = 15000;
  CopyCut(balloon.szInfoTitle, title);
  CopyCut(balloon.szInfo, text);
  Shell_NotifyIconA(NIM_MODIFY, &balloon);
}

void HandleTrayMouse(HWND window, LPARAM mouseMessage) {
  if (mouseMessage == WM_LBUTTONDOWN) {
    if (IsIconic(window)) {
      ShowWindow(window, SW_SHOW);
      UpdateWindow(window);
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    SetForegroundWindow(window);
  } else if (mouseMessage == WM_RBUTTONDOWN) {
    ShowTrayMenu(window, "IDR_MENU2");
  }
}

void ShowTrayMenu(HWND window, const char* menuName) {
  HMENU loaded = LoadMenuA(GetModuleHandleA(nullptr), menuName);
  if (!loaded) return;
  HMENU popup = CreatePopupMenu();
  if (!popup) {
    DestroyMenu(loaded);
    return;
  }
  for (UINT position = 0;; ++position) {
    const UINT state = GetMenuState(loaded, position, MF_BYPOSITION);
    if (state == static_cast<UINT>(-1)) break;
    char text[128] = {};
    GetMenuStringA(loaded, position, text, sizeof text, MF_BYPOSITION);
    // A pop-up item is moved, not shared, so that destroying both menus frees it once.
    const UINT_PTR item = (state & MF_POPUP) ? reinterpret_cast<UINT_PTR>(GetSubMenu(loaded, static_cast<int>(position)))
                                             : GetMenuItemID(loaded, static_cast<int>(position));
    AppendMenuA(popup, state & 0xFF, item, text);
  }
  for (int i = GetMenuItemCount(popup) - 1; i >= 0; --i) {
    if (GetSubMenu(popup, i)) RemoveMenu(loaded, static_cast<UINT>(i), MF_BYPOSITION);
  }
  POINT at{};
  GetCursorPos(&at);
  SetForegroundWindow(window);
  TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  PostMessageA(window, WM_NULL, 0, 0);
  DestroyMenu(popup);
  DestroyMenu(loaded);
}

}  // namespace quelma::app
