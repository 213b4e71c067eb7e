// Reading and filling the controls of the settings dialogs and the main window.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace quelma::win32_ui {

// At most `length` characters of a control's text.
std::string ItemText(HWND dialog, int id, std::size_t length);
void SetItemText(HWND dialog, int id, const std::string& text);
bool IsChecked(HWND dialog, int id);
void SetChecked(HWND dialog, int id, bool checked);
void EnableItems(HWND dialog, std::initializer_list<int> ids, bool enable);
void LimitText(HWND dialog, int id, std::size_t length);

// List views (report style): columns once, rows refilled whole.
void AddColumns(HWND dialog, int id, const std::vector<std::pair<const char*, int>>& columns);
void FillRows(HWND dialog, int id, const std::vector<std::vector<std::string>>& rows);
int SelectedRow(HWND dialog, int id);  // -1 without a selection

// List boxes and drop-down lists.
void FillList(HWND dialog, int id, const std::vector<std::string>& items);
int SelectedItem(HWND dialog, int id);  // -1 without a selection
std::string ListItem(HWND dialog, int id, int index);
void FillCombo(HWND dialog, int id, const std::vector<std::string>& items, int selected);
int ComboSelection(HWND dialog, int id);

// An up-down control on the right of edit `buddy`, wrapping, with the arrow keys.
HWND AttachSpin(HWND dialog, int spinId, int buddy, int low, int high, int position);

// The state a modal dialog works on: the creation parameter, kept with the window.
template <typename State>
State* StateOf(HWND dialog, UINT message, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrA(dialog, DWLP_USER, lParam);
  return reinterpret_cast<State*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

}  // namespace quelma::win32_ui
