// "Настройки связи" (IDD_TRANSOPTS2) with its inner dialogs: the provider account (IDD_ACCINFO),
// the SMTP login (IDD_SMTPLOGIN) and a phone number (IDD_PHONE).
#pragma once

#include <string>
#include <vector>

#include "dialogs/working_configuration.h"
#include "dialup/remote_access.h"

namespace quelma::dialogs {

// The dial-up group: disabled (and empty) until it is filled from the phonebook.
struct DialUpGroup {
  bool enabled = false;
  std::vector<std::string> entries;
  int selected = -1;  // the entry equal to DialUpRecord, or none
  bool autoOff = false;
  std::vector<std::string> phones;  // up to the first empty number
  bool operator==(const DialUpGroup&) const = default;
};

// What OK reads from the dialog's controls.
struct CommunicationFields {
  std::string smtpServer, smtpPort;
  int smtpTls = 0;               // TlsChoiceOf(SMTP_TLS)
  std::string smtpFingerprint;   // SMTP_TLS_FINGERPRINT
  std::string caFile;            // TLS_CA_FILE
  bool useLan = true;
  std::string dialUpRecord;  // the text of the entry list
  bool autoOff = false;
  std::string attempts;
};

struct AccountRow {
  std::string server, login, password, port, delivery;
  std::string keep{};  // "" when mail is deleted at once, "14 дн.", "всегда"
  std::string protocol{};  // "" for POP3; "IMAP", or "IMAP, IDLE" with push
  bool operator==(const AccountRow&) const = default;
};

// The account list as the dialog shows it.
std::vector<AccountRow> AccountRows(const config::Configuration& config);

inline constexpr int kAttemptsLow = 1;
inline constexpr int kAttemptsHigh = 10;

class CommunicationDialog {
 public:
  CommunicationDialog(DialogEnvironment& env, dialup::RemoteAccess& access);

  // The opening state of the fields.
  CommunicationFields fields() const;
  const DialUpGroup& dialUp() const { return group_; }
  std::vector<AccountRow> accounts() const { return AccountRows(working_.get()); }
  WorkingConfiguration& working() { return working_; }

  // Check box "Подключение через LAN" clicked; it shows useLan afterwards.
  void toggleLan();
  bool useLan() const { return working_.get().UseLAN; }

  // "Добавить": false (after the message) when 25 accounts exist; the account dialog follows.
  bool mayAddAccount();
  void deleteAccount(int index);

  // The phone entry "Добавить" opens the phone dialog on, or -1 when the list is full.
  int newPhoneIndex() const;
  // The phone dialog's OK for entry `index` (a new one empties the entry after it).
  void phoneChanged(int index, const std::string& number);
  void deletePhone(int index);

  // false: not saved, the dialog stays open (after a message when the fingerprint is not one,
  // or when the SMTP login is OAuth's and TLS is off)
  bool ok(const CommunicationFields& fields);
  void cancel() { working_.reload(); }

 private:
  void fillDialUpGroup();
  int phoneCount() const;

  DialogEnvironment& env_;
  dialup::RemoteAccess& access_;
  WorkingConfiguration working_;
  DialUpGroup group_;
};

// The account dialog on account `index`, or on a new one (-1).
struct AccountFields {
  std::string server, login, password, repeat, port;
  bool apop = false;
  int delivery = 0;  // index into deliveryChoices(), -1 for none
  int tls = 0;       // TlsChoiceOf(tls)
  std::string fingerprint;
  int auth = 0;       // LoginChoiceOf(auth): the password, XOAUTH2 or OAUTHBEARER
  std::string oauth;  // the identity platform's field
  // Mail left at the provider: the days (empty or 0: deleted at once) unless "всегда" is
  // checked, and the largest message downloaded in KB (empty or 0: no limit).
  std::string keep{};
  bool keepForever = false;
  std::string maxSize{};
  // Collection: the protocol (ProtocolChoices()); for IMAP the folders as one comma-separated
  // field ("INBOX, Работа"; a comma or "%" inside a name is typed %2C, %25), what becomes of a
  // message no longer kept (0: deleted, 1: moved to `moveTo`), and push. The IMAP fields are
  // disabled for POP3: OK keeps what they hold without judging it.
  int proto = 0;
  std::string folders{};
  int after = 0;
  std::string moveTo{};
  bool idle = false;
  bool operator==(const AccountFields&) const = default;
};

// "POP3", "IMAP"; and the choice of a protocol.
const std::vector<std::string>& ProtocolChoices();
int ProtocolChoiceOf(config::CollectProtocol proto);
config::CollectProtocol ProtocolOfChoice(int choice);

// The folders field: the names as "INBOX, Работа", and back (blanks around a name dropped,
// "inbox" in any case is INBOX, a name given twice once); the message that refuses the field
// when it cannot be stored (and `folders` untouched).
std::string FolderFieldText(const std::vector<std::string>& folders);
std::optional<Message> ParseFolderField(std::string_view field, std::vector<std::string>& folders);

// The three usual ports of an account's TLS choices for `proto` (PortAfterTlsChoice).
using UsualPorts = std::uint16_t[3];
const UsualPorts& AccountUsualPorts(int proto);

// The server, login, TLS and login method of the fields as OK stores them (the platform name
// only when it is one).
config::ProviderAccount LoginOfAccountFields(const AccountFields& fields);

class AccountDialog {
 public:
  AccountDialog(WorkingConfiguration& working, int index);
  // "удалять с сервера", "переносить в папку": the `after` field's list.
  static const std::vector<std::string>& AfterChoices();
  // "Нет", "STLS (порт 110)", "SSL/TLS (порт 995)"; for IMAP "STARTTLS (порт 143)", "SSL/TLS (порт 993)".
  static const std::vector<std::string>& TlsChoices(int proto = 0);
  // "* Сортировщик", then every user but the daemon, in table order.
  const std::vector<std::string>& deliveryChoices() const { return choices_; }
  AccountFields opening() const;
  // The identity platforms offered, with the one `fields` show.
  std::vector<std::string> platformChoices(const AccountFields& fields) const;
  // Provider choice `choice` (ProviderChoices()) fills the server, port, TLS and login method;
  // the login, password and delivery stay. "Другой" changes nothing.
  static void ApplyProvider(int choice, AccountFields& fields);
  // Protocol choice `proto`: a port at the old protocol's usual port (or empty) moves to the new
  // one's for the TLS choice, and a preset's server to the same preset's server for it; POP3
  // turns push off.
  static void ApplyProtocol(int proto, AccountFields& fields);
  // Refuses (after a message) an OAuth login without TLS or without a known platform, folders
  // that cannot be stored, and a move into a folder that is collected itself.
  InnerOutcome ok(const AccountFields& fields, Prompt& prompt);

 private:
  WorkingConfiguration& working_;
  int index_;
  std::vector<std::string> choices_;
};

// The SMTP login dialog.
struct SmtpLoginFields {
  std::string name, password, repeat;
  bool enabled = false;
  int auth = 0;       // LoginChoiceOf(SMTP_AUTH)
  std::string oauth;  // SMTP_OAUTH
  bool operator==(const SmtpLoginFields&) const = default;
};

// The SMTP server's fields of the communication dialog as they are on screen: the login
// dialog's provider choice fills them, and its OAuth login needs their TLS.
struct SmtpServerFields {
  std::string server, port;
  int tls = 0;
  std::string fingerprint;
  bool operator==(const SmtpServerFields&) const = default;
};

SmtpLoginFields SmtpLoginOpening(const config::Configuration& config);

// The SMTP server's TLS list: "Нет", "STARTTLS (порт 587)", "SSL/TLS (порт 465)".
const std::vector<std::string>& SmtpTlsChoices();
// Provider choice `choice` fills the server's fields and the login method, and turns the
// login on; the name and password stay. "Другой" changes nothing.
void ApplySmtpProvider(int choice, SmtpServerFields& server, SmtpLoginFields& login);
// `server` is what the communication dialog shows: an OAuth login without its TLS, or whose
// server belongs to no known identity platform while none is named, is refused.
InnerOutcome AcceptSmtpLogin(WorkingConfiguration& working, const SmtpLoginFields& fields, const SmtpServerFields& server,
                             Prompt& prompt);

// The phone dialog's OK: the number to store, or nothing (the dialog stays open) when empty.
std::optional<std::string> AcceptPhoneNumber(std::string_view field);

}  // namespace quelma::dialogs
