// "Состояние" of the Команда menu: the lines "quelma status" prints, from the running program's
// own figures, in a window with an "Обновить" button.
#pragma once

#include <windows.h>

namespace quelma::app {

inline constexpr char kStatusWindowClass[] = "QuelmaStatus";
inline constexpr char kStatusTitle[] = "Состояние";

// Opens the window (or brings it forward) with the status as it is now.
void OpenStatusWindow(HWND owner);

}  // namespace quelma::app
