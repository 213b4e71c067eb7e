// "Настройки связи" (IDD_TRANSOPTS2) with its inner dialogs: the POP3 account (IDD_ACCINFO),
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
  bool operator==(const AccountRow&) const = default;
};

inline constexpr int kAttemptsLow = 1;
inline constexpr int kAttemptsHigh = 10;

class CommunicationDialog {
 public:
  CommunicationDialog(DialogEnvironment& env, dialup::RemoteAccess& access);

  // The opening state of the fields.
  CommunicationFields fields() const;
  const DialUpGroup& dialUp() const { return group_; }
  std::vector<AccountRow> accounts() const;
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

  // false: not saved, the dialog stays open (after a message when the fingerprint is not one)
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
  bool operator==(const AccountFields&) const = default;
};

class AccountDialog {
 public:
  AccountDialog(WorkingConfiguration& working, int index);
  // "Нет", "STLS (порт 110)", "SSL/TLS (порт 995)".
  static const std::vector<std::string>& TlsChoices();
  // "* Сортировщик", then every user but the daemon, in table order.
  const std::vector<std::string>& deliveryChoices() const { return choices_; }
  AccountFields opening() const;
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
  bool operator==(const SmtpLoginFields&) const = default;
};

SmtpLoginFields SmtpLoginOpening(const config::Configuration& config);

// The SMTP server's TLS list: "Нет", "STARTTLS (порт 587)", "SSL/TLS (порт 465)".
const std::vector<std::string>& SmtpTlsChoices();
InnerOutcome AcceptSmtpLogin(WorkingConfiguration& working, const SmtpLoginFields& fields, Prompt& prompt);

// The phone dialog's OK: the number to store, or nothing (the dialog stays open) when empty.
std::optional<std::string> AcceptPhoneNumber(std::string_view field);

}  // namespace quelma::dialogs
