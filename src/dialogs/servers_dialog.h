// "Настройки серверов POP3/SMTP" (IDD_GOPT) and its user dialog (IDD_UDAT): folders, domain,
// log size, the ports of the POP3, SMTP and IMAP servers and time-out, and the local users with
// their roles.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dialogs/working_configuration.h"

namespace quelma::dialogs {

// The edit fields, as texts, and the EHLO box.
struct ServersFields {
  std::string mailDropDir, queueDir, localDomain, logFileSize, pop3Port, smtpPort, timeout;
  std::string certFile, keyFile, pop3TlsPort, smtpTlsPort;  // TLS for local programs
  bool ehlo = true;
  std::string maxSessions, listenAddresses, relayNetworks, authFailLimit;
  int smtpAuth = 0;  // the choice: 0 no, 1 offered, 2 required
  // PLAINTEXT_LOGIN as it applies: 0 YES, 1 LOCAL, 2 NO (kPlaintextLoginChoices). Kept at its
  // default (which follows the certificate) unless it was changed or `plaintextLoginChosen`.
  int plaintextLogin = 0;
  bool plaintextLoginChosen = false;  // set from the command line: taken as written
  std::string imapPort = "", imapTlsPort = "";  // the IMAP server's; empty or 0: off (none)
  // The postmaster's alerts: megabytes of free space, hours of failing, hours in the queue (0: off).
  std::string alertDiskMb = "", alertFailHours = "", alertQueueHours = "";
  bool operator==(const ServersFields&) const = default;
};

// One row of the user list: user, password, alias, role.
struct UserRow {
  std::string name, password, alias, role;
  bool operator==(const UserRow&) const = default;
};

// The user list as the dialog shows it: roles "(ПОСТМАСТЕР)", "[BOSS]", "(ДЕМОН)".
std::vector<UserRow> UserRows(const config::Configuration& config);

// The field lengths of the user dialog (what a user record keeps).
inline constexpr std::size_t kUserNameField = 29;
inline constexpr std::size_t kUserPasswordField = 10;
inline constexpr std::size_t kUserAliasField = 64;

// OK in the user dialog: the three texts without blanks, A-Z lower-cased; nothing (as if
// cancelled) when the name is empty.
std::optional<config::LocalUser> AcceptUserFields(std::string_view name, std::string_view password,
                                                  std::string_view alias);

// Why the POP3 server could never match this password (it compares at most 10 letters and
// digits), or nothing when it can.
std::optional<std::string> UserPasswordProblem(std::string_view password);

// What the dialogs and the command line say when a user is left without a password (the
// daemon, which never logs in, aside); nothing when there is nothing to say.
std::optional<std::string> NoPasswordWarning(const config::Configuration& config, const config::LocalUser& user);

// The choices of the SMTP AUTH box, in order.
inline constexpr const char* kSmtpAuthChoices[] = {"Не предлагать", "Предлагать", "Требовать"};

// The choices of the clear-text password box (PLAINTEXT_LOGIN YES, LOCAL, NO), in order.
inline constexpr const char* kPlaintextLoginChoices[] = {"Разрешать", "Только с этого компьютера", "Только по TLS"};
int PlaintextLoginChoice(config::PlaintextLogin value);
config::PlaintextLogin PlaintextLoginOfChoice(int choice);

// A folder field on OK: the folder to keep, ending with the path separator, or nothing when
// the old one stays (an empty field, or a folder that does not exist). A drive root keeps its
// separator ("C:" and "C:\" give "C:\").
std::optional<std::string> AcceptFolder(std::string_view field, const std::function<bool(const std::string&)>& isDirectory);

class ServersDialog {
 public:
  explicit ServersDialog(DialogEnvironment& env) : env_(env), working_(env) {}

  ServersFields fields() const;
  std::vector<UserRow> rows() const { return UserRows(working_.get()); }
  const config::Configuration& config() const { return working_.get(); }

  bool canAdd() const { return working_.get().users.size() < config::limits::kUsers; }
  // The user dialog's result for a new user; refused with a message when the name is taken.
  void add(const config::LocalUser& user);
  // The user dialog's result for the user at `index`; the roles follow a rename.
  void edit(int index, const config::LocalUser& user);
  void remove(int index);  // with its refusals and its question
  void makePostmaster(int index);
  void makeDaemon(int index);
  void makeBoss(int index);  // -1 (no selection) or the daemon: no boss

  // false: not saved, the dialog stays open (after a message when the certificate and its key
  // are not both given, or one of them is not there, or they cannot be used together, or an
  // address list or limit cannot be used)
  bool ok(const ServersFields& fields);
  void cancel() { working_.reload(); }

 private:
  bool valid(int index) const { return index >= 0 && static_cast<std::size_t>(index) < working_.get().users.size(); }
  bool is(const std::string& role, int index) const;
  void warnWithoutPassword(const config::LocalUser& user);
  DialogEnvironment& env_;
  WorkingConfiguration working_;
};

}  // namespace quelma::dialogs
