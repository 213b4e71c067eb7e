// IDD_TRANSOPTS2 with IDD_ACCINFO, IDD_SMTPLOGIN and IDD_PHONE on the communication logic.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "app/win32/html_help.h"
#include "dialogs/communication_dialog.h"
#include "dialogs/win32/dialog_controls.h"
#include "dialogs/win32/settings_windows.h"
#include "resource_ids.h"

namespace quelma::dialogs {

namespace {

std::unique_ptr<CommunicationDialog> g_dialog;  // the one open communication dialog

Prompt& Ask() { return Settings().env->prompt; }

INT_PTR CALLBACK AccountProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* account = StateOf<AccountDialog>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    const AccountFields f = account->opening();
    LimitText(dialog, IDC_ACCOUNT_SERVER, 63);
    LimitText(dialog, IDC_ACCOUNT_LOGIN, config::limits::kAccountLogin);
    LimitText(dialog, IDC_ACCOUNT_PASSWORD, config::limits::kStoredAccountPassword);
    LimitText(dialog, IDC_ACCOUNT_REPEAT, config::limits::kStoredAccountPassword);
    LimitText(dialog, IDC_ACCOUNT_PORT, 9);
    SetItemText(dialog, IDC_ACCOUNT_SERVER, f.server);
    SetItemText(dialog, IDC_ACCOUNT_LOGIN, f.login);
    SetItemText(dialog, IDC_ACCOUNT_PASSWORD, f.password);
    SetItemText(dialog, IDC_ACCOUNT_REPEAT, f.repeat);
    SetItemText(dialog, IDC_ACCOUNT_PORT, f.port);
    SetChecked(dialog, IDC_ACCOUNT_APOP, f.apop);
    FillCombo(dialog, IDC_ACCOUNT_DELIVERY, account->deliveryChoices(), f.delivery);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDOK) {
    const AccountFields f{ItemText(dialog, IDC_ACCOUNT_SERVER, 63),
                          ItemText(dialog, IDC_ACCOUNT_LOGIN, config::limits::kAccountLogin),
                          ItemText(dialog, IDC_ACCOUNT_PASSWORD, config::limits::kAccountPassword),
                          ItemText(dialog, IDC_ACCOUNT_REPEAT, config::limits::kAccountPassword),
                          ItemText(dialog, IDC_ACCOUNT_PORT, 9),
                          IsChecked(dialog, IDC_ACCOUNT_APOP),
                          ComboSelection(dialog, IDC_ACCOUNT_DELIVERY)};
    EndAfterOk(dialog, account->ok(f, Ask()));
  } else if (LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
  }
  return TRUE;
}

struct LoginEditing {
  WorkingConfiguration* working;
  bool enabled;
};

void ShowLoginEnabled(HWND dialog, bool enabled) {
  SetChecked(dialog, IDC_LOGIN_ENABLED, enabled);
  EnableItems(dialog, {IDC_LOGIN_NAME, IDC_LOGIN_PASSWORD, IDC_LOGIN_REPEAT}, enabled);
}

INT_PTR CALLBACK SmtpLoginProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* editing = StateOf<LoginEditing>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    const SmtpLoginFields f = SmtpLoginOpening(editing->working->get());
    editing->enabled = f.enabled;
    LimitText(dialog, IDC_LOGIN_NAME, 63);
    LimitText(dialog, IDC_LOGIN_PASSWORD, config::limits::kStoredSmtpPassword);
    LimitText(dialog, IDC_LOGIN_REPEAT, config::limits::kStoredSmtpPassword);
    SetItemText(dialog, IDC_LOGIN_NAME, f.name);
    SetItemText(dialog, IDC_LOGIN_PASSWORD, f.password);
    SetItemText(dialog, IDC_LOGIN_REPEAT, f.repeat);
    ShowLoginEnabled(dialog, f.enabled);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_LOGIN_ENABLED:
      editing->enabled = !editing->enabled;
      ShowLoginEnabled(dialog, editing->enabled);
      break;
    case IDOK:
      EndAfterOk(dialog, AcceptSmtpLogin(*editing->working,
                                         {ItemText(dialog, IDC_LOGIN_NAME, 63),
                                          ItemText(dialog, IDC_LOGIN_PASSWORD, config::limits::kSmtpLoginPass),
                                          ItemText(dialog, IDC_LOGIN_REPEAT, config::limits::kSmtpLoginPass),
                                          editing->enabled},
                                         Ask()));
      break;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      break;
    default:
      break;
  }
  return TRUE;
}

struct PhoneEditing {
  std::string number;
};

INT_PTR CALLBACK PhoneProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* editing = StateOf<PhoneEditing>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    LimitText(dialog, IDC_PHONE_NUMBER, config::limits::kPhoneNumber);
    SetItemText(dialog, IDC_PHONE_NUMBER, editing->number);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDOK) {
    if (auto number = AcceptPhoneNumber(ItemText(dialog, IDC_PHONE_NUMBER, config::limits::kPhoneNumber))) {
      editing->number = *number;
      EndDialog(dialog, IDOK);
    }
  } else if (LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
  }
  return TRUE;
}

constexpr std::initializer_list<int> kDialUpControls = {IDC_AUTO_OFF,     IDC_DIALUP_ENTRY, IDC_PHONE_ADD,
                                                        IDC_PHONE_EDIT,   IDC_PHONE_DELETE, IDC_PHONES,
                                                        IDC_ATTEMPTS,     IDC_ATTEMPTS_SPIN};

void FillAccounts(HWND dialog) {
  std::vector<std::vector<std::string>> rows;
  for (const AccountRow& r : g_dialog->accounts()) rows.push_back({r.server, r.login, r.password, r.port, r.delivery});
  FillRows(dialog, IDC_ACCOUNTS, rows);
}

// The dial-up group as the logic has it: filled and enabled, or left as it was and disabled.
void ShowDialUp(HWND dialog) {
  const DialUpGroup& group = g_dialog->dialUp();
  if (group.enabled) {
    SetChecked(dialog, IDC_AUTO_OFF, group.autoOff);
    FillCombo(dialog, IDC_DIALUP_ENTRY, group.entries, group.selected);
    FillList(dialog, IDC_PHONES, group.phones);
  }
  EnableItems(dialog, kDialUpControls, group.enabled && !g_dialog->useLan());
  SetChecked(dialog, IDC_USE_LAN, g_dialog->useLan());
}

void Open(HWND dialog) {
  g_dialog = std::make_unique<CommunicationDialog>(*Settings().env, *Settings().access);
  AddColumns(dialog, IDC_ACCOUNTS, {{"Сервер", 70}, {"Логин", 70}, {"Пароль", 30}, {"Порт", 35}, {"Доставка", 64}});
  FillAccounts(dialog);
  const CommunicationFields f = g_dialog->fields();
  LimitText(dialog, IDC_SMTP_SERVER, 63);
  LimitText(dialog, IDC_SMTP_SPORT, 9);
  SetItemText(dialog, IDC_SMTP_SERVER, f.smtpServer);
  SetItemText(dialog, IDC_SMTP_SPORT, f.smtpPort);
  AttachSpin(dialog, IDC_ATTEMPTS_SPIN, IDC_ATTEMPTS, kAttemptsLow, kAttemptsHigh,
             g_dialog->working().get().DialupAttempts);
  ShowDialUp(dialog);
}

void EditPhone(HWND dialog, int index) {
  if (index < 0) return;
  PhoneEditing editing{g_dialog->working().get().DialupPhoneNumber[index]};
  if (DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_PHONE", dialog, PhoneProcedure,
                      reinterpret_cast<LPARAM>(&editing)) == IDOK) {
    g_dialog->phoneChanged(index, editing.number);
    ShowDialUp(dialog);
  }
}

void EditAccount(HWND dialog, int index) {
  AccountDialog account(g_dialog->working(), index);
  DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_ACCINFO", dialog, AccountProcedure,
                  reinterpret_cast<LPARAM>(&account));
  FillAccounts(dialog);
}

bool Command(HWND dialog, int id, int notification) {
  switch (id) {
    case IDOK:
      if (!g_dialog->ok({ItemText(dialog, IDC_SMTP_SERVER, 63), ItemText(dialog, IDC_SMTP_SPORT, 9),
                    IsChecked(dialog, IDC_USE_LAN), ItemText(dialog, IDC_DIALUP_ENTRY, config::limits::kDialUpRecord),
                         IsChecked(dialog, IDC_AUTO_OFF), ItemText(dialog, IDC_ATTEMPTS, 18)})) {
        return false;
      }
      break;
    case IDCANCEL:
      g_dialog->cancel();
      break;
    case IDC_SMTP_LOGIN: {
      LoginEditing editing{&g_dialog->working(), false};
      DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_SMTPLOGIN", dialog, SmtpLoginProcedure,
                      reinterpret_cast<LPARAM>(&editing));
      return false;
    }
    case IDC_ACCOUNT_ADD:
      if (g_dialog->mayAddAccount()) EditAccount(dialog, -1);
      return false;
    case IDC_ACCOUNT_EDIT:
      if (SelectedRow(dialog, IDC_ACCOUNTS) >= 0) EditAccount(dialog, SelectedRow(dialog, IDC_ACCOUNTS));
      return false;
    case IDC_ACCOUNT_DELETE:
      g_dialog->deleteAccount(SelectedRow(dialog, IDC_ACCOUNTS));
      FillAccounts(dialog);
      return false;
    case IDC_USE_LAN:
      g_dialog->toggleLan();
      ShowDialUp(dialog);
      return false;
    case IDC_PHONE_ADD:
      EditPhone(dialog, g_dialog->newPhoneIndex());
      return false;
    case IDC_PHONES:
      if (notification == LBN_DBLCLK) EditPhone(dialog, SelectedItem(dialog, IDC_PHONES));
      return false;
    case IDC_PHONE_EDIT:
      EditPhone(dialog, SelectedItem(dialog, IDC_PHONES));
      return false;
    case IDC_PHONE_DELETE:
      g_dialog->deletePhone(SelectedItem(dialog, IDC_PHONES));
      ShowDialUp(dialog);
      return false;
    default:
      return false;
  }
  return true;
}

void Closed() { g_dialog.reset(); }

}  // namespace

INT_PTR CALLBACK CommunicationProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  static constexpr ModelessHandlers kHandlers{
      Open, Command, Closed, IDC_ACCOUNTS, IDC_ACCOUNT_EDIT, "quelma.chm::/nastr_comm.htm", app::kHelpDisplayContents};
  return ModelessDispatch(kHandlers, dialog, message, wParam, lParam);
}

}  // namespace quelma::dialogs
