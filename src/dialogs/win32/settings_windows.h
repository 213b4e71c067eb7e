// The settings dialogs of quelma.exe: the modeless ones the main window opens from its menu,
// each with its modal inner dialogs.
#pragma once

#include <windows.h>

#include <functional>

#include "dialogs/working_configuration.h"
#include "dialup/remote_access.h"

namespace quelma::dialogs {

// What the dialog procedures work with; set once by the program before any dialog opens.
struct SettingsContext {
  DialogEnvironment* env = nullptr;
  dialup::RemoteAccess* access = nullptr;
  // Called by a modeless dialog after it destroyed itself: its slot is free again.
  std::function<void(HWND dialog)> closed;
};
void SetSettingsContext(SettingsContext context);
SettingsContext& Settings();

// Destroys a modeless dialog and reports it closed.
void CloseModeless(HWND dialog);

// What a modeless settings dialog does with its messages.
struct ModelessHandlers {
  void (*open)(HWND dialog);
  // True when the command ends the dialog (OK that saved, Cancel): it is then closed.
  bool (*command)(HWND dialog, int id, int notification);
  void (*closed)();  // lets go of the dialog's logic
  int listView;          // its list view, whose double-click means `doubleClickCommand` (0: none)
  int doubleClickCommand;
  const char* helpTarget;  // F1
  UINT helpCommand;
};
INT_PTR ModelessDispatch(const ModelessHandlers& handlers, HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

INT_PTR CALLBACK ServersProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CommunicationProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SorterProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SchedulerProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace quelma::dialogs
