// The notification-area icon of the main window and its menu.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace quelma::app {

void AddTrayIcon(NOTIFYICONDATAA& record, HWND window, HICON icon);
void DeleteTrayIcon(NOTIFYICONDATAA& record);

// A warning balloon at the icon (the postmaster's alerts); a title or text longer than the
// system keeps is cut and ends with "...". Nothing when the icon was never added.
void ShowTrayBalloon(const NOTIFYICONDATAA& record, const std::string& title, const std::string& text);

// The mouse message of UM_TRAY_ICON: a left click brings the window back, a right click
// shows the tray menu.
void HandleTrayMouse(HWND window, LPARAM mouseMessage);

// Shows the items of menu resource `menuName` as a pop-up at the cursor; the chosen command
// reaches `window` as WM_COMMAND.
void ShowTrayMenu(HWND window, const char* menuName);

}  // namespace quelma::app
