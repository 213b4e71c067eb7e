// IDD_TRANSOPTS2 with IDD_ACCINFO, IDD_SMTPLOGIN and IDD_PHONE on the communication logic.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "win32_ui/html_help.h"
#include "dialogs/communication_dialog.h"
#include "dialogs/dialog_text.h"
#include "dialogs/oauth_login.h"
#include "dialogs/provider_login.h"
#include "dialogs/win32/win32_prompt.h"
#include "win32_ui/dialog_controls.h"
#include "dialogs/win32/oauth_login_window.h"
#include "dialogs/win32/settings_windows.h"
#include "resource_ids.h"

namespace quelma::dialogs {

namespace {

std::unique_ptr<CommunicationDialog> g_dialog;  // the one open communication dialog
HWND g_window = nullptr;                          // and its window
int g_smtpTls = 0;     // the SMTP TLS choice shown, for the port that follows it
int g_accountTls = 0;  // the same in the (modal) account dialog
int g_accountProto = 0;  // and its protocol choice, for the port and server that follow it

// A TLS list changed: the port field follows when it still shows the old choice's usual port.
void FollowTlsChoice(HWND dialog, int list, int portField, int& shown, const std::uint16_t (&usual)[3]) {
  const int chosen = win32_ui::ComboSelection(dialog, list);
  win32_ui::SetItemText(dialog, portField, PortAfterTlsChoice(win32_ui::ItemText(dialog, portField, 9), shown, chosen, usual));
  shown = chosen;
}

Prompt& Ask() { return Settings().env->prompt; }

constexpr std::size_t kPlatformField = 32;
constexpr std::size_t kKeepField = 4;     // up to 3650 days
constexpr std::size_t kMaxSizeField = 7;  // up to config::kMaxSizeKb
constexpr std::size_t kFoldersField = 4000;  // a few dozen names

void LimitComboText(HWND dialog, int id, std::size_t length) {
  SendDlgItemMessageA(dialog, id, CB_LIMITTEXT, static_cast<WPARAM>(length), 0);
}

// The working configuration with the extra certificates as the communication dialog shows
// them: what a first OAuth login made from an inner dialog uses.
config::Configuration SettingsOnScreen() {
  config::Configuration c = g_dialog->working().get();
  c.TLS_CA_FILE = win32_ui::ItemText(g_window, IDC_TLS_CA_FILE, config::limits::kPath - 1);
  c.TLS_CA_FILE.erase(0, std::min(c.TLS_CA_FILE.find_first_not_of(' '), c.TLS_CA_FILE.size()));
  return c;
}

void ShowProviderNote(HWND dialog, int note, int provider) { win32_ui::SetItemText(dialog, note, ProviderNote(provider)); }

void ShowAccountProviderNote(HWND dialog, int provider) {
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_NOTE, AccountProviderNote(provider, ProtocolOfChoice(g_accountProto)));
}

AccountFields ReadAccount(HWND dialog) {
  return {win32_ui::ItemText(dialog, IDC_ACCOUNT_SERVER, 63),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_LOGIN, config::limits::kAccountLogin),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_PASSWORD, config::limits::kAccountPassword),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_REPEAT, config::limits::kAccountPassword),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_PORT, 9),
          win32_ui::IsChecked(dialog, IDC_ACCOUNT_APOP),
          win32_ui::ComboSelection(dialog, IDC_ACCOUNT_DELIVERY),
          win32_ui::ComboSelection(dialog, IDC_ACCOUNT_TLS),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_FINGERPRINT, 100),
          win32_ui::ComboSelection(dialog, IDC_ACCOUNT_AUTH),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_OAUTH, kPlatformField),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_KEEP, kKeepField),
          win32_ui::IsChecked(dialog, IDC_ACCOUNT_KEEP_FOREVER),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_MAX_SIZE, kMaxSizeField),
          win32_ui::ComboSelection(dialog, IDC_ACCOUNT_PROTO),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_FOLDERS, kFoldersField),
          win32_ui::ComboSelection(dialog, IDC_ACCOUNT_AFTER),
          win32_ui::ItemText(dialog, IDC_ACCOUNT_MOVE_TO, config::kMaxFolderName),
          win32_ui::IsChecked(dialog, IDC_ACCOUNT_IDLE)};
}

// The folders, what follows the download and push belong to IMAP; the move folder to a move.
void ShowImapFields(HWND dialog) {
  const bool imap = g_accountProto == ProtocolChoiceOf(config::CollectProtocol::kImap);
  win32_ui::EnableItems(dialog, {IDC_ACCOUNT_FOLDERS, IDC_ACCOUNT_AFTER, IDC_ACCOUNT_IDLE}, imap);
  win32_ui::EnableItems(dialog, {IDC_ACCOUNT_MOVE_TO}, imap && win32_ui::ComboSelection(dialog, IDC_ACCOUNT_AFTER) == 1);
}

// "всегда" makes the days meaningless: their field is disabled while it is checked.
void ShowKeepForever(HWND dialog) {
  win32_ui::EnableItems(dialog, {IDC_ACCOUNT_KEEP}, !win32_ui::IsChecked(dialog, IDC_ACCOUNT_KEEP_FOREVER));
}

// APOP belongs to POP3's password login; the platform and the first login to OAuth's.
void ShowAccountLoginMethod(HWND dialog) {
  const bool oauth = win32_ui::ComboSelection(dialog, IDC_ACCOUNT_AUTH) > 0;
  win32_ui::EnableItems(dialog, {IDC_ACCOUNT_OAUTH, IDC_ACCOUNT_OAUTH_LOGIN}, oauth);
  win32_ui::EnableItems(dialog, {IDC_ACCOUNT_APOP}, !oauth && g_accountProto == 0);
}

// The server's part of the fields: what a provider choice changes.
void ShowAccountServer(HWND dialog, const AccountDialog& account, const AccountFields& f) {
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_SERVER, f.server);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_PORT, f.port);
  win32_ui::SetChecked(dialog, IDC_ACCOUNT_APOP, f.apop);
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_PROTO, ProtocolChoices(), f.proto);
  g_accountProto = f.proto;
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_TLS, AccountDialog::TlsChoices(f.proto), f.tls);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_FINGERPRINT, f.fingerprint);
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_AUTH, AccountLoginChoices(), f.auth);
  const std::vector<std::string> platforms = account.platformChoices(f);
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_OAUTH, platforms, 0);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_OAUTH, f.oauth);
  g_accountTls = f.tls;
  ShowAccountLoginMethod(dialog);
  ShowImapFields(dialog);
}

void OpenAccount(HWND dialog, const AccountDialog& account) {
  const AccountFields f = account.opening();
  win32_ui::LimitText(dialog, IDC_ACCOUNT_SERVER, 63);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_LOGIN, config::limits::kAccountLogin);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_PASSWORD, config::limits::kStoredAccountPassword);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_REPEAT, config::limits::kStoredAccountPassword);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_PORT, 9);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_FINGERPRINT, 100);
  LimitComboText(dialog, IDC_ACCOUNT_OAUTH, kPlatformField);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_KEEP, kKeepField);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_MAX_SIZE, kMaxSizeField);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_KEEP, f.keep);
  win32_ui::SetChecked(dialog, IDC_ACCOUNT_KEEP_FOREVER, f.keepForever);
  ShowKeepForever(dialog);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_MAX_SIZE, f.maxSize);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_FOLDERS, kFoldersField);
  win32_ui::LimitText(dialog, IDC_ACCOUNT_MOVE_TO, config::kMaxFolderName);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_FOLDERS, f.folders);
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_AFTER, AccountDialog::AfterChoices(), f.after);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_MOVE_TO, f.moveTo);
  win32_ui::SetChecked(dialog, IDC_ACCOUNT_IDLE, f.idle);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_LOGIN, f.login);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_PASSWORD, f.password);
  win32_ui::SetItemText(dialog, IDC_ACCOUNT_REPEAT, f.repeat);
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_DELIVERY, account.deliveryChoices(), f.delivery);
  const int provider = AccountProviderChoice(f.server, ProtocolOfChoice(f.proto));
  win32_ui::FillCombo(dialog, IDC_ACCOUNT_PROVIDER, ProviderChoices(), provider);
  ShowAccountServer(dialog, account, f);
  ShowAccountProviderNote(dialog, provider);
}

void AccountProviderChosen(HWND dialog, const AccountDialog& account) {
  const int provider = win32_ui::ComboSelection(dialog, IDC_ACCOUNT_PROVIDER);
  ShowAccountProviderNote(dialog, provider);
  AccountFields f = ReadAccount(dialog);
  AccountDialog::ApplyProvider(provider, f);
  ShowAccountServer(dialog, account, f);
}

// The protocol list changed: the port (and a preset's server) follow, the TLS list names the
// new protocol's ports.
void AccountProtocolChosen(HWND dialog, const AccountDialog& account) {
  AccountFields f = ReadAccount(dialog);
  const int chosen = f.proto;
  f.proto = g_accountProto;
  AccountDialog::ApplyProtocol(chosen, f);
  ShowAccountServer(dialog, account, f);
  ShowAccountProviderNote(dialog, win32_ui::ComboSelection(dialog, IDC_ACCOUNT_PROVIDER));
}

INT_PTR CALLBACK AccountProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* account = win32_ui::StateOf<AccountDialog>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    OpenAccount(dialog, *account);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  const bool changed = HIWORD(wParam) == CBN_SELCHANGE;
  switch (LOWORD(wParam)) {
    case IDC_ACCOUNT_TLS:
      if (changed) FollowTlsChoice(dialog, IDC_ACCOUNT_TLS, IDC_ACCOUNT_PORT, g_accountTls, AccountUsualPorts(g_accountProto));
      break;
    case IDC_ACCOUNT_PROTO:
      if (changed) AccountProtocolChosen(dialog, *account);
      break;
    case IDC_ACCOUNT_AFTER:
      if (changed) ShowImapFields(dialog);
      break;
    case IDC_ACCOUNT_PROVIDER:
      if (changed) AccountProviderChosen(dialog, *account);
      break;
    case IDC_ACCOUNT_AUTH:
      if (changed) ShowAccountLoginMethod(dialog);
      break;
    case IDC_ACCOUNT_KEEP_FOREVER:
      ShowKeepForever(dialog);
      break;
    case IDC_ACCOUNT_OAUTH_LOGIN:
      StartOauthLogin(dialog,
                      OauthFirstLogin::ForAccount(SettingsOnScreen(), Settings().env->programDir,
                                                  ReadAccount(dialog)),
                      Ask());
      break;
    case IDOK:
      EndAfterOk(dialog, account->ok(ReadAccount(dialog), Ask()));
      break;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      break;
    default:
      break;
  }
  return TRUE;
}

// The SMTP login dialog edits the login; a provider choice also fills the SMTP server's
// fields, which the communication dialog shows once the login dialog is confirmed.
struct LoginEditing {
  WorkingConfiguration* working;
  SmtpServerFields server;  // as the communication dialog shows it
  bool enabled = false;
};

SmtpServerFields ReadSmtpServer(HWND communication) {
  return {win32_ui::ItemText(communication, IDC_SMTP_SERVER, 63), win32_ui::ItemText(communication, IDC_SMTP_SPORT, 9),
          win32_ui::ComboSelection(communication, IDC_SMTP_TLS),
          win32_ui::ItemText(communication, IDC_SMTP_FINGERPRINT, 100)};
}

void ShowSmtpServer(HWND communication, const SmtpServerFields& server) {
  win32_ui::SetItemText(communication, IDC_SMTP_SERVER, server.server);
  win32_ui::SetItemText(communication, IDC_SMTP_SPORT, server.port);
  win32_ui::FillCombo(communication, IDC_SMTP_TLS, SmtpTlsChoices(), server.tls);
  win32_ui::SetItemText(communication, IDC_SMTP_FINGERPRINT, server.fingerprint);
  g_smtpTls = server.tls;
}

SmtpLoginFields ReadSmtpLogin(HWND dialog, bool enabled) {
  return {win32_ui::ItemText(dialog, IDC_LOGIN_NAME, 63),
          win32_ui::ItemText(dialog, IDC_LOGIN_PASSWORD, config::limits::kSmtpLoginPass),
          win32_ui::ItemText(dialog, IDC_LOGIN_REPEAT, config::limits::kSmtpLoginPass),
          enabled,
          win32_ui::ComboSelection(dialog, IDC_LOGIN_AUTH),
          win32_ui::ItemText(dialog, IDC_LOGIN_OAUTH, kPlatformField)};
}

void ShowLoginEnabled(HWND dialog, bool enabled) {
  win32_ui::SetChecked(dialog, IDC_LOGIN_ENABLED, enabled);
  win32_ui::EnableItems(dialog, {IDC_LOGIN_NAME, IDC_LOGIN_PASSWORD, IDC_LOGIN_REPEAT, IDC_LOGIN_AUTH}, enabled);
  const bool oauth = enabled && win32_ui::ComboSelection(dialog, IDC_LOGIN_AUTH) > 0;
  win32_ui::EnableItems(dialog, {IDC_LOGIN_OAUTH, IDC_LOGIN_OAUTH_LOGIN}, oauth);
}

void ShowSmtpLoginMethod(HWND dialog, const LoginEditing& editing, const SmtpLoginFields& f) {
  win32_ui::FillCombo(dialog, IDC_LOGIN_AUTH, SmtpLoginChoices(), f.auth);
  win32_ui::FillCombo(dialog, IDC_LOGIN_OAUTH,
                      PlatformChoices(editing.working->get(), AcceptPlatformName(f.oauth).value_or(std::string())), 0);
  win32_ui::SetItemText(dialog, IDC_LOGIN_OAUTH, f.oauth);
  ShowLoginEnabled(dialog, f.enabled);
}

void OpenSmtpLogin(HWND dialog, LoginEditing& editing) {
  const SmtpLoginFields f = SmtpLoginOpening(editing.working->get());
  editing.enabled = f.enabled;
  win32_ui::LimitText(dialog, IDC_LOGIN_NAME, 63);
  win32_ui::LimitText(dialog, IDC_LOGIN_PASSWORD, config::limits::kStoredSmtpPassword);
  win32_ui::LimitText(dialog, IDC_LOGIN_REPEAT, config::limits::kStoredSmtpPassword);
  LimitComboText(dialog, IDC_LOGIN_OAUTH, kPlatformField);
  win32_ui::SetItemText(dialog, IDC_LOGIN_NAME, f.name);
  win32_ui::SetItemText(dialog, IDC_LOGIN_PASSWORD, f.password);
  win32_ui::SetItemText(dialog, IDC_LOGIN_REPEAT, f.repeat);
  const int provider = SmtpProviderChoice(editing.server.server);
  win32_ui::FillCombo(dialog, IDC_LOGIN_PROVIDER, ProviderChoices(), provider);
  ShowProviderNote(dialog, IDC_LOGIN_NOTE, provider);
  ShowSmtpLoginMethod(dialog, editing, f);
}

void SmtpProviderChosen(HWND dialog, LoginEditing& editing) {
  const int provider = win32_ui::ComboSelection(dialog, IDC_LOGIN_PROVIDER);
  ShowProviderNote(dialog, IDC_LOGIN_NOTE, provider);
  SmtpLoginFields f = ReadSmtpLogin(dialog, editing.enabled);
  ApplySmtpProvider(provider, editing.server, f);
  editing.enabled = f.enabled;
  ShowSmtpLoginMethod(dialog, editing, f);
}

INT_PTR CALLBACK SmtpLoginProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* editing = win32_ui::StateOf<LoginEditing>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    OpenSmtpLogin(dialog, *editing);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  const bool changed = HIWORD(wParam) == CBN_SELCHANGE;
  switch (LOWORD(wParam)) {
    case IDC_LOGIN_ENABLED:
      editing->enabled = !editing->enabled;
      ShowLoginEnabled(dialog, editing->enabled);
      break;
    case IDC_LOGIN_AUTH:
      if (changed) ShowLoginEnabled(dialog, editing->enabled);
      break;
    case IDC_LOGIN_PROVIDER:
      if (changed) SmtpProviderChosen(dialog, *editing);
      break;
    case IDC_LOGIN_OAUTH_LOGIN:
      StartOauthLogin(dialog,
                      OauthFirstLogin::ForSmtp(SettingsOnScreen(), Settings().env->programDir,
                                               editing->server, ReadSmtpLogin(dialog, editing->enabled)),
                      Ask());
      break;
    case IDOK:
      EndAfterOk(dialog, AcceptSmtpLogin(*editing->working, ReadSmtpLogin(dialog, editing->enabled),
                                                   editing->server, Ask()));
      break;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      break;
    default:
      break;
  }
  return TRUE;
}

void EditSmtpLogin(HWND dialog) {
  LoginEditing editing{&g_dialog->working(), ReadSmtpServer(dialog)};
  const SmtpServerFields shown = editing.server;
  if (DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_SMTPLOGIN", dialog, SmtpLoginProcedure,
                      reinterpret_cast<LPARAM>(&editing)) == IDOK &&
      !(editing.server == shown)) {
    ShowSmtpServer(dialog, editing.server);
  }
}

struct PhoneEditing {
  std::string number;
};

INT_PTR CALLBACK PhoneProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* editing = win32_ui::StateOf<PhoneEditing>(dialog, message, lParam);
  if (message == WM_INITDIALOG) {
    win32_ui::LimitText(dialog, IDC_PHONE_NUMBER, config::limits::kPhoneNumber);
    win32_ui::SetItemText(dialog, IDC_PHONE_NUMBER, editing->number);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDOK) {
    if (auto number = AcceptPhoneNumber(win32_ui::ItemText(dialog, IDC_PHONE_NUMBER, config::limits::kPhoneNumber))) {
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
  for (const AccountRow& r : g_dialog->accounts()) {
    rows.push_back({r.server, r.login, r.password, r.port, r.protocol.empty() ? std::string("POP3") : r.protocol, r.delivery,
                    r.keep});
  }
  win32_ui::FillRows(dialog, IDC_ACCOUNTS, rows);
}

// The dial-up group as the logic has it: filled and enabled, or left as it was and disabled.
void ShowDialUp(HWND dialog) {
  const DialUpGroup& group = g_dialog->dialUp();
  if (group.enabled) {
    win32_ui::SetChecked(dialog, IDC_AUTO_OFF, group.autoOff);
    win32_ui::FillCombo(dialog, IDC_DIALUP_ENTRY, group.entries, group.selected);
    win32_ui::FillList(dialog, IDC_PHONES, group.phones);
  }
  win32_ui::EnableItems(dialog, kDialUpControls, group.enabled && !g_dialog->useLan());
  win32_ui::SetChecked(dialog, IDC_USE_LAN, g_dialog->useLan());
}

void Open(HWND dialog) {
  g_dialog = std::make_unique<CommunicationDialog>(*Settings().env, *Settings().access);
  g_window = dialog;
  win32_ui::AddColumns(dialog, IDC_ACCOUNTS, {{"Сервер", 70}, {"Логин", 70}, {"Пароль", 30}, {"Порт", 35},
                                            {"Протокол", 50}, {"Доставка", 64}, {"Хранить", 60}});
  FillAccounts(dialog);
  const CommunicationFields f = g_dialog->fields();
  win32_ui::LimitText(dialog, IDC_SMTP_SERVER, 63);
  win32_ui::LimitText(dialog, IDC_SMTP_SPORT, 9);
  win32_ui::SetItemText(dialog, IDC_SMTP_SERVER, f.smtpServer);
  win32_ui::SetItemText(dialog, IDC_SMTP_SPORT, f.smtpPort);
  win32_ui::FillCombo(dialog, IDC_SMTP_TLS, SmtpTlsChoices(), f.smtpTls);
  g_smtpTls = f.smtpTls;
  win32_ui::LimitText(dialog, IDC_SMTP_FINGERPRINT, 100);
  win32_ui::SetItemText(dialog, IDC_SMTP_FINGERPRINT, f.smtpFingerprint);
  win32_ui::LimitText(dialog, IDC_TLS_CA_FILE, config::limits::kPath - 1);
  win32_ui::SetItemText(dialog, IDC_TLS_CA_FILE, f.caFile);
  win32_ui::AttachSpin(dialog, IDC_ATTEMPTS_SPIN, IDC_ATTEMPTS, kAttemptsLow, kAttemptsHigh,
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
      if (!g_dialog->ok({win32_ui::ItemText(dialog, IDC_SMTP_SERVER, 63), win32_ui::ItemText(dialog, IDC_SMTP_SPORT, 9),
                         win32_ui::ComboSelection(dialog, IDC_SMTP_TLS), win32_ui::ItemText(dialog, IDC_SMTP_FINGERPRINT, 100),
                         win32_ui::ItemText(dialog, IDC_TLS_CA_FILE, config::limits::kPath - 1),
                         win32_ui::IsChecked(dialog, IDC_USE_LAN), win32_ui::ItemText(dialog, IDC_DIALUP_ENTRY, config::limits::kDialUpRecord),
                         win32_ui::IsChecked(dialog, IDC_AUTO_OFF), win32_ui::ItemText(dialog, IDC_ATTEMPTS, 18)})) {
        return false;
      }
      break;
    case IDCANCEL:
      g_dialog->cancel();
      break;
    case IDC_SMTP_TLS:
      if (notification == CBN_SELCHANGE) FollowTlsChoice(dialog, IDC_SMTP_TLS, IDC_SMTP_SPORT, g_smtpTls, kSmtpUsualPorts);
      return false;
    case IDC_SMTP_LOGIN:
      EditSmtpLogin(dialog);
      return false;
    case IDC_ACCOUNT_ADD:
      if (g_dialog->mayAddAccount()) EditAccount(dialog, -1);
      return false;
    case IDC_ACCOUNT_EDIT:
      if (win32_ui::SelectedRow(dialog, IDC_ACCOUNTS) >= 0) EditAccount(dialog, win32_ui::SelectedRow(dialog, IDC_ACCOUNTS));
      return false;
    case IDC_ACCOUNT_DELETE:
      g_dialog->deleteAccount(win32_ui::SelectedRow(dialog, IDC_ACCOUNTS));
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
      if (notification == LBN_DBLCLK) EditPhone(dialog, win32_ui::SelectedItem(dialog, IDC_PHONES));
      return false;
    case IDC_PHONE_EDIT:
      EditPhone(dialog, win32_ui::SelectedItem(dialog, IDC_PHONES));
      return false;
    case IDC_PHONE_DELETE:
      g_dialog->deletePhone(win32_ui::SelectedItem(dialog, IDC_PHONES));
      ShowDialUp(dialog);
      return false;
    default:
      return false;
  }
  return true;
}

void Closed() {
  g_dialog.reset();
  g_window = nullptr;
}

}  // namespace

INT_PTR CALLBACK CommunicationProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  static constexpr ModelessHandlers kHandlers{
      Open, Command, Closed, IDC_ACCOUNTS, IDC_ACCOUNT_EDIT, "quelma.chm::/nastr_comm.htm", win32_ui::kHelpDisplayContents};
  return ModelessDispatch(kHandlers, dialog, message, wParam, lParam);
}

}  // namespace quelma::dialogs
