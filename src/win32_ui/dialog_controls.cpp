#include "win32_ui/dialog_controls.h"

#include <windows.h>
#include <commctrl.h>

namespace quelma::win32_ui {

std::string ItemText(HWND dialog, int id, std::size_t length) {
  std::string text(length + 1, '\0');
  const UINT got = GetDlgItemTextA(dialog, id, text.data(), static_cast<int>(text.size()));
  text.resize(got);
  return text;
}

void SetItemText(HWND dialog, int id, const std::string& text) { SetDlgItemTextA(dialog, id, text.c_str()); }

bool IsChecked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

void SetChecked(HWND dialog, int id, bool checked) { CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED); }

void EnableItems(HWND dialog, std::initializer_list<int> ids, bool enable) {
  for (const int id : ids) EnableWindow(GetDlgItem(dialog, id), enable);
}

void LimitText(HWND dialog, int id, std::size_t length) {
  SendDlgItemMessageA(dialog, id, EM_LIMITTEXT, static_cast<WPARAM>(length), 0);
}

void AddColumns(HWND dialog, int id, const std::vector<std::pair<const char*, int>>& columns) {
  HWND view = GetDlgItem(dialog, id);
  SendMessageA(view, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (std::size_t i = 0; i < columns.size(); ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = LVCFMT_LEFT;
    column.cx = columns[i].second;
    column.pszText = const_cast<char*>(columns[i].first);
    SendMessageA(view, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
  }
}

void FillRows(HWND dialog, int id, const std::vector<std::vector<std::string>>& rows) {
  HWND view = GetDlgItem(dialog, id);
  SendMessageA(view, LVM_DELETEALLITEMS, 0, 0);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      LVITEMA item{};
      item.mask = LVIF_TEXT;
      item.iItem = static_cast<int>(r);
      item.iSubItem = static_cast<int>(c);
      item.pszText = const_cast<char*>(rows[r][c].c_str());
      SendMessageA(view, c == 0 ? LVM_INSERTITEMA : LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
  }
}

int SelectedRow(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessageA(dialog, id, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void FillList(HWND dialog, int id, const std::vector<std::string>& items) {
  SendDlgItemMessageA(dialog, id, LB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    SendDlgItemMessageA(dialog, id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
}

int SelectedItem(HWND dialog, int id) {
  const LRESULT index = SendDlgItemMessageA(dialog, id, LB_GETCURSEL, 0, 0);
  return index == LB_ERR ? -1 : static_cast<int>(index);
}

std::string ListItem(HWND dialog, int id, int index) {
  const LRESULT length = SendDlgItemMessageA(dialog, id, LB_GETTEXTLEN, index, 0);
  if (length == LB_ERR) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  SendDlgItemMessageA(dialog, id, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void FillCombo(HWND dialog, int id, const std::vector<std::string>& items, int selected) {
  SendDlgItemMessageA(dialog, id, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
  SendDlgItemMessageA(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

int ComboSelection(HWND dialog, int id) {
  const LRESULT index = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
  return index == CB_ERR ? -1 : static_cast<int>(index);
}

HWND AttachSpin(HWND dialog, int spinId, int buddy, int low, int high, int position) {
  return CreateUpDownControl(WS_CHILD | WS_BORDER | WS_VISIBLE | UDS_WRAP | UDS_ARROWKEYS | UDS_ALIGNRIGHT |
                                 UDS_SETBUDDYINT | UDS_NOTHOUSANDS,
                             0, 0, 0, 0, dialog, spinId, GetModuleHandleA(nullptr), GetDlgItem(dialog, buddy), high,
                             low, position);
}

void EndAfterOk(HWND dialog, dialogs::InnerOutcome outcome) {
  if (outcome != dialogs::InnerOutcome::kEditAgain) EndDialog(dialog, outcome == dialogs::InnerOutcome::kAccepted ? IDOK : IDCANCEL);
}

bool Win32Prompt::ask(const dialogs::Message& message) {
  UINT flags = message.buttons == dialogs::Buttons::kYesNo ? MB_YESNO : MB_OK;
  switch (message.icon) {
    case dialogs::Icon::kError:
    case dialogs::Icon::kStop:
      flags |= MB_ICONERROR;
      break;
    case dialogs::Icon::kQuestion:
      flags |= MB_ICONQUESTION;
      break;
    case dialogs::Icon::kExclamation:
      flags |= MB_ICONEXCLAMATION;
      break;
    case dialogs::Icon::kInformation:
      flags |= MB_ICONINFORMATION;
      break;
    case dialogs::Icon::kWarning:
      flags |= MB_ICONWARNING;
      break;
    case dialogs::Icon::kNone:
      break;
  }
  const int answer = MessageBoxA(GetActiveWindow(), message.text.c_str(), message.caption.c_str(), flags);
  return answer == IDYES || answer == IDOK;
}

}  // namespace quelma::win32_ui
