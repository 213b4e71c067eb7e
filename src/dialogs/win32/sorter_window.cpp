// IDD_SORTEROPT with IDD_ALIAS and IDD_DLGUNDIS on the sorter dialogs' logic.
#include <memory>

#include "win32_ui/html_help.h"
#include "dialogs/sorter_dialog.h"
#include "dialogs/win32/win32_prompt.h"
#include "win32_ui/dialog_controls.h"
#include "dialogs/win32/settings_windows.h"
#include "resource_ids.h"

namespace quelma::dialogs {

namespace {

std::unique_ptr<SorterDialog> g_dialog;  // the one open sorter dialog

struct UnsortedChoice {
  UnsortedRecipientsDialog dialog;
  std::string result;
};

struct RuleEditing {
  RuleDialog rule;
  sorting::SorterRule result;
};

void ShowDelivery(HWND dialog, const RuleDialog& rule) {
  win32_ui::FillList(dialog, IDC_RULE_USERS, rule.users());  // the list box sorts them
  win32_ui::FillList(dialog, IDC_RULE_DELIVERY, rule.delivery());
}

INT_PTR CALLBACK RuleProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* editing = win32_ui::StateOf<RuleEditing>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    for (const char* header : kHeaderChoices) {
      SendDlgItemMessageA(dialog, IDC_RULE_HEADER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(header));
    }
    SendDlgItemMessageA(dialog, IDC_RULE_HEADER, CB_LIMITTEXT, 29, 0);
    win32_ui::LimitText(dialog, IDC_RULE_TEXT, 64);
    win32_ui::LimitText(dialog, IDC_RULE_ADDRESS, 119);
    win32_ui::SetItemText(dialog, IDC_RULE_HEADER, editing->rule.headerName);
    win32_ui::SetItemText(dialog, IDC_RULE_TEXT, editing->rule.pattern);
    win32_ui::SetChecked(dialog, IDC_RULE_STOP, editing->rule.stop);
    win32_ui::SetChecked(dialog, IDC_RULE_ENVELOPE, editing->rule.envelope);
    ShowDelivery(dialog, editing->rule);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  RuleDialog& rule = editing->rule;
  switch (LOWORD(wParam)) {
    case IDC_RULE_ADD_ADDRESS:
      if (rule.addAddress(win32_ui::ItemText(dialog, IDC_RULE_ADDRESS, 119))) {
        win32_ui::SetItemText(dialog, IDC_RULE_ADDRESS, "");
        ShowDelivery(dialog, rule);
      }
      break;
    case IDC_RULE_ADD_USER:
      if (const int selected = win32_ui::SelectedItem(dialog, IDC_RULE_USERS); selected >= 0) {
        rule.addUser(win32_ui::ListItem(dialog, IDC_RULE_USERS, selected));
        ShowDelivery(dialog, rule);
      }
      break;
    case IDC_RULE_REMOVE:
      rule.removeDelivery(win32_ui::SelectedItem(dialog, IDC_RULE_DELIVERY));
      ShowDelivery(dialog, rule);
      break;
    case IDOK: {
      EndAfterOk(dialog, rule.ok(win32_ui::ItemText(dialog, IDC_RULE_HEADER, 29), win32_ui::ItemText(dialog, IDC_RULE_TEXT, 64),
                                           win32_ui::IsChecked(dialog, IDC_RULE_STOP),
                                           win32_ui::IsChecked(dialog, IDC_RULE_ENVELOPE), Settings().env->prompt,
                                           editing->result));
      break;
    }
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      break;
    default:
      break;
  }
  return TRUE;
}

// Moves the selected entry of list `from` by its name; the list it left selects the entry now
// at the vacated place.
void MoveSelected(HWND dialog, UnsortedRecipientsDialog& chooser, int from, bool choose) {
  const int index = win32_ui::SelectedItem(dialog, from);
  if (index < 0) return;
  const std::string name = win32_ui::ListItem(dialog, from, index);
  choose ? chooser.choose(name) : chooser.unchoose(name);
  win32_ui::FillList(dialog, IDC_UNSORTED_USERS, chooser.users());  // both lists sort what they get
  win32_ui::FillList(dialog, IDC_UNSORTED_RECIPIENTS, chooser.recipients());
  SendDlgItemMessageA(dialog, from, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

INT_PTR CALLBACK UnsortedProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* chooser = win32_ui::StateOf<UnsortedChoice>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    win32_ui::FillList(dialog, IDC_UNSORTED_USERS, chooser->dialog.users());
    win32_ui::FillList(dialog, IDC_UNSORTED_RECIPIENTS, chooser->dialog.recipients());
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_UNSORTED_ADD:
      MoveSelected(dialog, chooser->dialog, IDC_UNSORTED_USERS, true);
      break;
    case IDC_UNSORTED_REMOVE:
      MoveSelected(dialog, chooser->dialog, IDC_UNSORTED_RECIPIENTS, false);
      break;
    case IDOK: {
      std::vector<std::string> shown;  // in the list's own (alphabetical) order
      const int count = static_cast<int>(SendDlgItemMessageA(dialog, IDC_UNSORTED_RECIPIENTS, LB_GETCOUNT, 0, 0));
      for (int i = 0; i < count; ++i) shown.push_back(win32_ui::ListItem(dialog, IDC_UNSORTED_RECIPIENTS, i));
      chooser->result = JoinRecipients(shown);
      EndDialog(dialog, IDOK);
      break;
    }
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      break;
    default:
      break;
  }
  return TRUE;
}

void FillRules(HWND dialog, int select) {
  win32_ui::FillList(dialog, IDC_RULES, g_dialog->lines());
  win32_ui::SetItemText(dialog, IDC_UNSORTED, g_dialog->unsortedRecipients());
  if (select >= 0) SendDlgItemMessageA(dialog, IDC_RULES, LB_SETCURSEL, static_cast<WPARAM>(select), 0);
}

void EditRule(HWND dialog, int index) {
  const sorting::SorterRule* shown = index >= 0 ? &g_dialog->rules()[index] : nullptr;
  RuleEditing editing{RuleDialog(g_dialog->config(), shown), {}};
  if (DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_ALIAS", dialog, RuleProcedure,
                      reinterpret_cast<LPARAM>(&editing)) != IDOK) {
    return;
  }
  if (index >= 0) {
    g_dialog->replace(index, editing.result);
  } else {
    g_dialog->add(editing.result);
  }
  FillRules(dialog, -1);
}

bool Command(HWND dialog, int id, int notification) {
  const int selected = win32_ui::SelectedItem(dialog, IDC_RULES);
  switch (id) {
    case IDOK:
      if (!g_dialog->ok()) return false;  // sorter.cfg not written: the rules stay in the dialog
      break;
    case IDCANCEL:
      break;
    case IDC_RULE_ADD:
      EditRule(dialog, -1);
      return false;
    case IDC_RULES:
      if (notification == LBN_DBLCLK && selected >= 0) EditRule(dialog, selected);
      return false;
    case IDC_RULE_EDIT:
      if (selected >= 0) EditRule(dialog, selected);
      return false;
    case IDC_RULE_DELETE:
      g_dialog->remove(selected);
      FillRules(dialog, -1);
      return false;
    case IDC_RULE_UP:
    case IDC_RULE_DOWN:
      if (auto moved = id == IDC_RULE_UP ? g_dialog->moveUp(selected) : g_dialog->moveDown(selected)) {
        FillRules(dialog, *moved);
      }
      return false;
    case IDC_UNSORTED_CHOOSE: {
      UnsortedChoice chooser{UnsortedRecipientsDialog(g_dialog->config()), {}};
      if (DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_DLGUNDIS", dialog, UnsortedProcedure,
                          reinterpret_cast<LPARAM>(&chooser)) == IDOK) {
        g_dialog->setUnsortedRecipients(chooser.result);
        win32_ui::SetItemText(dialog, IDC_UNSORTED, g_dialog->unsortedRecipients());
      }
      return false;
    }
    default:
      return false;
  }
  return true;
}

void Open(HWND dialog) {
  g_dialog = std::make_unique<SorterDialog>(*Settings().env);
  if (!g_dialog->opened()) {  // sorter.cfg can be neither read nor created
    g_dialog.reset();
    CloseModeless(dialog);
    return;
  }
  SendDlgItemMessageA(dialog, IDC_RULES, LB_SETHORIZONTALEXTENT, 1200, 0);
  FillRules(dialog, -1);
}

void Closed() { g_dialog.reset(); }

}  // namespace

INT_PTR CALLBACK SorterProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  static constexpr ModelessHandlers kHandlers{Open, Command, Closed, 0, 0, "quelma.chm::/nastr_sort.htm",
                                              win32_ui::kHelpDisplayContents};
  return ModelessDispatch(kHandlers, dialog, message, wParam, lParam);
}

}  // namespace quelma::dialogs
