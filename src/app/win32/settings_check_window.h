// "Проверить настройки" of the Команда menu: the settings check runs on a thread of its own
// (a provider may take its whole time-out) and its report fills a resizable window with a
// read-only text, which the administrator can select and copy.
#pragma once

#include <windows.h>

namespace quelma::app {

inline constexpr char kSettingsCheckWindowClass[] = "QuelmaSettingsCheck";
inline constexpr char kSettingsCheckTitle[] = "Проверка настроек";

// Opens the report window (or brings it forward) and starts a check unless one is running.
void OpenSettingsCheck(HWND owner);

}  // namespace quelma::app
