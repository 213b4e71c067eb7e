// IDD_GOPT and IDD_UDAT on the servers dialog's logic.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <memory>

#include "win32_ui/html_help.h"
#include "dialogs/servers_dialog.h"
#include "win32_ui/dialog_controls.h"
#include "dialogs/win32/settings_windows.h"
#include "resource_ids.h"

namespace quelma::dialogs {

namespace {

std::unique_ptr<ServersDialog> g_dialog;  // the one open servers dialog

struct UserEditing {
  const config::LocalUser* shown;  // nullptr for a new user
  std::optional<config::LocalUser> result;
};

INT_PTR CALLBACK UserProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* editing = reinterpret_cast<UserEditing*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      editing = reinterpret_cast<UserEditing*>(lParam);
      win32_ui::LimitText(dialog, IDC_USER_NAME, kUserNameField);
      win32_ui::LimitText(dialog, IDC_USER_PASSWORD, kUserPasswordField);
      win32_ui::LimitText(dialog, IDC_USER_ALIAS, kUserAliasField);
      if (editing->shown) {
        win32_ui::SetItemText(dialog, IDC_USER_NAME, editing->shown->name);
        win32_ui::SetItemText(dialog, IDC_USER_PASSWORD, editing->shown->password);
        win32_ui::SetItemText(dialog, IDC_USER_ALIAS, editing->shown->alias);
      }
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        // A password no mail program could log in with is refused here, the dialog stays open.
        const std::string typed = win32_ui::ItemText(dialog, IDC_USER_PASSWORD, 30);
        std::string password = typed;
        password.erase(std::remove(password.begin(), password.end(), ' '), password.end());
        if (const auto problem = UserPasswordProblem(password)) {
          Settings().env->prompt.ask({*problem, "Ошибка", Buttons::kOk, Icon::kError});
          return TRUE;
        }
        editing->result = AcceptUserFields(win32_ui::ItemText(dialog, IDC_USER_NAME, 30), win32_ui::ItemText(dialog, IDC_USER_PASSWORD, 30),
                                           win32_ui::ItemText(dialog, IDC_USER_ALIAS, 64));
        EndDialog(dialog, editing->result ? IDOK : IDCANCEL);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

std::optional<config::LocalUser> EditUser(HWND owner, const config::LocalUser* shown) {
  UserEditing editing{shown, std::nullopt};
  DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_UDAT", owner, UserProcedure, reinterpret_cast<LPARAM>(&editing));
  return editing.result;
}

void FillUsers(HWND dialog) {
  std::vector<std::vector<std::string>> rows;
  for (const UserRow& row : g_dialog->rows()) rows.push_back({row.name, row.password, row.alias, row.role});
  win32_ui::FillRows(dialog, IDC_USERS, rows);
}

ServersFields ReadFields(HWND dialog) {
  return {win32_ui::ItemText(dialog, IDC_MAILDROP_DIR, 259), win32_ui::ItemText(dialog, IDC_QUEUE_DIR, 259),
          win32_ui::ItemText(dialog, IDC_LOCAL_DOMAIN, 63),  win32_ui::ItemText(dialog, IDC_LOG_SIZE, 3),
          win32_ui::ItemText(dialog, IDC_POP3_PORT, 9),      win32_ui::ItemText(dialog, IDC_SMTP_PORT, 9),
          win32_ui::ItemText(dialog, IDC_SERVERS_TIMEOUT, 9),
          win32_ui::ItemText(dialog, IDC_TLS_CERT, config::limits::kPath - 1),
          win32_ui::ItemText(dialog, IDC_TLS_KEY, config::limits::kPath - 1),
          win32_ui::ItemText(dialog, IDC_POP3_TLS_PORT, 9),
          win32_ui::ItemText(dialog, IDC_SMTP_TLS_PORT, 9),
          win32_ui::IsChecked(dialog, IDC_SMTP_EHLO),
          win32_ui::ItemText(dialog, IDC_MAX_SESSIONS, 9),
          win32_ui::ItemText(dialog, IDC_LISTEN_ADDRESSES, 1000),
          win32_ui::ItemText(dialog, IDC_RELAY_NETWORKS, 1000),
          win32_ui::ItemText(dialog, IDC_AUTH_FAIL_LIMIT, 9),
          win32_ui::ComboSelection(dialog, IDC_SMTP_AUTH),
          win32_ui::ComboSelection(dialog, IDC_PLAINTEXT_LOGIN),
          false,
          win32_ui::ItemText(dialog, IDC_IMAP_PORT, 9),
          win32_ui::ItemText(dialog, IDC_IMAP_TLS_PORT, 9),
          win32_ui::ItemText(dialog, IDC_ALERT_DISK_MB, 9),
          win32_ui::ItemText(dialog, IDC_ALERT_FAIL_HOURS, 9),
          win32_ui::ItemText(dialog, IDC_ALERT_QUEUE_HOURS, 9)};
}

void Open(HWND dialog) {
  g_dialog = std::make_unique<ServersDialog>(*Settings().env);
  const ServersFields f = g_dialog->fields();
  win32_ui::SetItemText(dialog, IDC_MAILDROP_DIR, f.mailDropDir);
  win32_ui::SetItemText(dialog, IDC_QUEUE_DIR, f.queueDir);
  win32_ui::SetItemText(dialog, IDC_LOCAL_DOMAIN, f.localDomain);
  win32_ui::SetItemText(dialog, IDC_LOG_SIZE, f.logFileSize);
  win32_ui::SetItemText(dialog, IDC_POP3_PORT, f.pop3Port);
  win32_ui::SetItemText(dialog, IDC_SMTP_PORT, f.smtpPort);
  win32_ui::SetItemText(dialog, IDC_SERVERS_TIMEOUT, f.timeout);
  win32_ui::SetItemText(dialog, IDC_TLS_CERT, f.certFile);
  win32_ui::SetItemText(dialog, IDC_TLS_KEY, f.keyFile);
  win32_ui::SetItemText(dialog, IDC_POP3_TLS_PORT, f.pop3TlsPort);
  win32_ui::SetItemText(dialog, IDC_SMTP_TLS_PORT, f.smtpTlsPort);
  win32_ui::SetItemText(dialog, IDC_IMAP_PORT, f.imapPort);
  win32_ui::SetItemText(dialog, IDC_IMAP_TLS_PORT, f.imapTlsPort);
  win32_ui::SetItemText(dialog, IDC_ALERT_DISK_MB, f.alertDiskMb);
  win32_ui::SetItemText(dialog, IDC_ALERT_FAIL_HOURS, f.alertFailHours);
  win32_ui::SetItemText(dialog, IDC_ALERT_QUEUE_HOURS, f.alertQueueHours);
  win32_ui::SetChecked(dialog, IDC_SMTP_EHLO, f.ehlo);
  win32_ui::SetItemText(dialog, IDC_MAX_SESSIONS, f.maxSessions);
  win32_ui::SetItemText(dialog, IDC_LISTEN_ADDRESSES, f.listenAddresses);
  win32_ui::SetItemText(dialog, IDC_RELAY_NETWORKS, f.relayNetworks);
  win32_ui::SetItemText(dialog, IDC_AUTH_FAIL_LIMIT, f.authFailLimit);
  win32_ui::FillCombo(dialog, IDC_SMTP_AUTH, std::vector<std::string>(std::begin(kSmtpAuthChoices), std::end(kSmtpAuthChoices)),
                      f.smtpAuth);
  win32_ui::FillCombo(dialog, IDC_PLAINTEXT_LOGIN,
                      std::vector<std::string>(std::begin(kPlaintextLoginChoices), std::end(kPlaintextLoginChoices)),
                      f.plaintextLogin);
  win32_ui::LimitText(dialog, IDC_MAX_SESSIONS, 3);
  win32_ui::LimitText(dialog, IDC_AUTH_FAIL_LIMIT, 4);
  win32_ui::LimitText(dialog, IDC_LISTEN_ADDRESSES, 1000);
  win32_ui::LimitText(dialog, IDC_RELAY_NETWORKS, 1000);
  win32_ui::LimitText(dialog, IDC_TLS_CERT, config::limits::kPath - 1);
  win32_ui::LimitText(dialog, IDC_TLS_KEY, config::limits::kPath - 1);
  win32_ui::LimitText(dialog, IDC_POP3_TLS_PORT, 5);
  win32_ui::LimitText(dialog, IDC_SMTP_TLS_PORT, 5);
  win32_ui::LimitText(dialog, IDC_IMAP_PORT, 5);
  win32_ui::LimitText(dialog, IDC_IMAP_TLS_PORT, 5);
  win32_ui::LimitText(dialog, IDC_ALERT_DISK_MB, 7);
  win32_ui::LimitText(dialog, IDC_ALERT_FAIL_HOURS, 4);
  win32_ui::LimitText(dialog, IDC_ALERT_QUEUE_HOURS, 4);
  win32_ui::LimitText(dialog, IDC_MAILDROP_DIR, 259);
  win32_ui::LimitText(dialog, IDC_QUEUE_DIR, 259);
  win32_ui::LimitText(dialog, IDC_LOCAL_DOMAIN, 63);
  win32_ui::LimitText(dialog, IDC_LOG_SIZE, 3);
  win32_ui::AddColumns(dialog, IDC_USERS, {{"Пользователь", 90}, {"Пароль", 90}, {"Алиас", 90}, {"Функция", 130}});
  FillUsers(dialog);
}

bool Command(HWND dialog, int id, int) {
  const int selected = win32_ui::SelectedRow(dialog, IDC_USERS);
  switch (id) {
    case IDOK:
      if (!g_dialog->ok(ReadFields(dialog))) return false;
      break;
    case IDCANCEL:
      g_dialog->cancel();
      break;
    case IDC_USER_ADD:
      if (g_dialog->canAdd()) {
        if (auto user = EditUser(dialog, nullptr)) g_dialog->add(*user);
      }
      FillUsers(dialog);
      return false;
    case IDC_USER_EDIT:
      if (selected >= 0) {
        const config::LocalUser shown = g_dialog->config().users[selected];
        if (auto user = EditUser(dialog, &shown)) g_dialog->edit(selected, *user);
      }
      FillUsers(dialog);
      return false;
    case IDC_USER_DELETE:
      g_dialog->remove(selected);
      FillUsers(dialog);
      return false;
    case IDC_MAKE_POSTMASTER:
      g_dialog->makePostmaster(selected);
      FillUsers(dialog);
      return false;
    case IDC_MAKE_DAEMON:
      g_dialog->makeDaemon(selected);
      FillUsers(dialog);
      return false;
    case IDC_MAKE_BOSS:
      g_dialog->makeBoss(selected);
      FillUsers(dialog);
      return false;
    default:
      return false;
  }
  return true;
}

void Closed() { g_dialog.reset(); }

}  // namespace

INT_PTR CALLBACK ServersProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  static constexpr ModelessHandlers kHandlers{
      Open, Command, Closed, IDC_USERS, IDC_USER_EDIT, "quelma.chm::/nastr_servers.htm", win32_ui::kHelpDisplayTopic};
  return ModelessDispatch(kHandlers, dialog, message, wParam, lParam);
}

}  // namespace quelma::dialogs
