// "Резервная копия..." and "Восстановить из копии..." of the Команда menu: the file (and for a
// restore the empty folder) chosen in the system's dialogs, the work on a thread of its own,
// its outcome in a report window and in the log.
#pragma once

#include <windows.h>

namespace quelma::app {

inline constexpr char kBackupWindowClass[] = "QuelmaBackup";
inline constexpr char kBackupTitle[] = "Резервная копия";

void StartBackupFromMenu(HWND owner);
void StartRestoreFromMenu(HWND owner);

}  // namespace quelma::app
