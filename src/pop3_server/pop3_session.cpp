// The POP3 authorization table and the transaction command table.
#include "pop3_server/pop3_session.h"

#include <algorithm>

#include "spool/mailbox_index_file.h"

#include "codec/md5.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "spool/maildrop.h"
#include "pop3_server/pop3_replies.h"
#include "serving/password_forms.h"

namespace quelma::pop3_server {
namespace {

bool IsAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsNameChar(char c) { return IsAsciiAlnum(c) || c == '_' || c == '-' || c == '.'; }

// How long a login waits for a maildrop another session holds: long enough for the session of a
// client that dropped its line (and is logging in again) to see the drop and end.
constexpr std::chrono::milliseconds kClaimPatience(1500);

bool CommandIs(std::string_view line, std::string_view word) {
  return platform::StartsWithIgnoreAsciiCase(line, word);
}

}  // namespace

std::optional<std::string> ReadUserName(std::string_view line) {
  std::size_t i = 5;
  while (i < line.size() && !IsNameChar(line[i])) ++i;
  if (i >= line.size()) return std::nullopt;
  std::string name;
  // One byte more than a user name holds: a longer name typed never matches a shorter user.
  for (; i < line.size() && IsNameChar(line[i]) && name.size() < config::limits::kUserName + 1; ++i) {
    name.push_back(line[i]);
  }
  return name;
}

std::string ReadPassword(std::string_view line) {
  std::size_t i = 5;
  while (i < line.size() && !IsAsciiAlnum(line[i])) ++i;
  std::string word;
  for (; i < line.size() && IsAsciiAlnum(line[i]) && word.size() < config::limits::kUserPassword; ++i) {
    word.push_back(line[i]);
  }
  return word;
}

std::string Pop3Greeting(const std::string& apopStamp) {
  std::string greeting = reply::kGreeting;
  if (!apopStamp.empty()) greeting.insert(greeting.size() - 2, " " + apopStamp);
  return greeting;
}

bool Pop3Session::handleLine(std::string_view line) {
  if (const auto handled = handleCapabilities(line)) return *handled;
  switch (phase_) {
    case Phase::kUser: return handleUser(line);
    case Phase::kPass: return handlePass(line);
    case Phase::kTransaction: return handleTransaction(line);
  }
  return false;
}

std::optional<bool> Pop3Session::handleCapabilities(std::string_view line) {
  const bool authorization = phase_ != Phase::kTransaction;
  if (CommandIs(line, "CAPA")) {
    const bool stls = options_.offerStls && authorization;
    return send(std::string(reply::kCapabilitiesBegin) + (plaintextAllowed() ? reply::kUserCapability : "") +
                reply::kCapabilitiesEnd + (stls ? reply::kStlsCapability : "") + reply::kEnd);
  }
  if (CommandIs(line, "STLS") && options_.offerStls && authorization) {
    if (!send(reply::kBeginTls)) return false;
    startTls_ = true;
    return false;
  }
  return std::nullopt;
}

bool Pop3Session::handleUser(std::string_view line) {
  if (CommandIs(line, "quit")) {
    send(reply::kBye);
    return false;
  }
  if (!options_.apopStamp.empty() && line.size() > 4 && line[4] == ' ' && CommandIs(line, "apop")) {
    return handleApop(line);
  }
  if (!(line.size() > 4 && line[4] == ' ' && CommandIs(line, "user"))) return send(reply::kSendUser);
  // Refused before the name is looked at: the password is not to follow in clear.
  if (!plaintextAllowed()) {
    log_.LogPop3Srv(logtext::kPlaintextRefused + options_.client + "\r\n");
    return send(reply::kPlaintextDisallowed);
  }
  const auto name = ReadUserName(line);
  if (!name) return send(reply::kSendUser);
  const int user = config::FindLocalUser(*config_, *name);
  if (user < 0 || platform::EqualsIgnoreAsciiCase(*name, config_->Daemon)) return refuseUnknownUser(name);
  userName_ = *name;
  userIndex_ = user;
  phase_ = Phase::kPass;
  return send(reply::kUserRecognized);
}

bool Pop3Session::handlePass(std::string_view line) {
  if (CommandIs(line, "quit")) {
    send(reply::kBye);
    return false;
  }
  if (!CommandIs(line, "pass")) return send(reply::kSendPass);
  const std::string& stored = config_->users[static_cast<std::size_t>(userIndex_)].password;
  return finishLogin(passwordMatches(stored, serving::PasswordMatches(ReadPassword(line), stored)));
}

bool Pop3Session::plaintextAllowed() const {
  return config::PlaintextLoginAllowed(*config_, options_.secure, options_.fromThisComputer);
}

// A user without a password logs in with any password, but only from this computer: from
// another one that is a wrong password.
bool Pop3Session::passwordMatches(const std::string& stored, bool typedMatches) const {
  return stored.empty() ? options_.fromThisComputer : typedMatches;
}

// An unknown name (or the daemon's) is a failed login: counted and answered after the same
// delay as a wrong password, so names cannot be tried faster than passwords.
bool Pop3Session::refuseUnknownUser(const std::optional<std::string>& name) {
  std::optional<serving::LoginGuard::Attempt> attempt =
      options_.guard ? options_.guard->begin(options_.client, config_->AUTH_FAIL_LIMIT) : std::nullopt;
  if (options_.guard && !attempt) return send(reply::kLockedOut);
  if (name) log_.LogPop3Srv(logtext::kWrongUser + *name + "\"\r\n");
  if (attempt && attempt->failed()) log_.LogPop3Srv(serving::LockOutLogText(options_.client, config_->AUTH_FAIL_LIMIT));
  return send(reply::kUserNotRecognized);
}

// "APOP name digest": the digest is MD5 of the greeting's time stamp and the password as the
// user table holds it, in hexadecimal (either case).
bool Pop3Session::handleApop(std::string_view line) {
  const auto name = ReadUserName(line);
  const std::size_t space = line.find(' ', 5);
  std::string_view digest = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  while (!digest.empty() && (digest.back() == '\n' || digest.back() == '\r' || digest.back() == ' ')) {
    digest.remove_suffix(1);
  }
  const int user = name ? config::FindLocalUser(*config_, *name) : -1;
  if (user < 0 || platform::EqualsIgnoreAsciiCase(*name, config_->Daemon)) return refuseUnknownUser(name);
  userName_ = *name;
  userIndex_ = user;
  const std::string& stored = config_->users[static_cast<std::size_t>(user)].password;
  const auto forms = serving::PasswordForms(stored);
  const bool matches = std::any_of(forms.begin(), forms.end(), [&](const std::string& key) {
    return platform::EqualsIgnoreAsciiCase(digest, codec::DigestToHex(codec::Md5Of(options_.apopStamp + key)));
  });
  return finishLogin(passwordMatches(stored, matches));
}

// Under the failed-login guard: while the address is locked out the outcome is not looked at;
// a wrong password is logged, counted and answered after the guard's delay.
bool Pop3Session::finishLogin(bool passwordMatches) {
  std::optional<serving::LoginGuard::Attempt> attempt =
      options_.guard ? options_.guard->begin(options_.client, config_->AUTH_FAIL_LIMIT) : std::nullopt;
  if (options_.guard && !attempt) {
    phase_ = Phase::kUser;
    return send(reply::kLockedOut);
  }
  if (passwordMatches) {
    attempt.reset();  // its place is free before the reply goes out
    return beginTransaction();
  }
  log_.LogPop3Srv(logtext::kWrongPasswordBegin + userName_ + logtext::kWrongPasswordEnd);
  phase_ = Phase::kUser;
  if (attempt && attempt->failed()) log_.LogPop3Srv(serving::LockOutLogText(options_.client, config_->AUTH_FAIL_LIMIT));
  return send(reply::kPasswordIncorrect);
}

// The maildrop is this session's alone from here to the end of the connection; while another
// session has it, the login is refused and may be tried again.
bool Pop3Session::beginTransaction() {
  const std::string path = spool::MaildropPath(*config_, config_->users[static_cast<std::size_t>(userIndex_)].name);
  claim_ = spool::MaildropClaim::Take(path, kClaimPatience);
  if (!claim_) {
    log_.LogPop3Srv(logtext::kInUseBegin + userName_ + logtext::kInUseEnd);
    phase_ = Phase::kUser;
    return send(reply::kInUse);
  }
  if (!send(reply::kPasswordRecognized)) return false;
  phase_ = Phase::kTransaction;
  log_.LogPop3Srv(logtext::kUserConnected + userName_ + "\"\r\n");
  maildrop_.emplace(path, sink_);
  const spool::MailboxOpenNote& note = maildrop_->openNote();
  if (note.flagsLost) log_.LogPop3Srv(logtext::kIndexRebuiltBegin + path + logtext::kIndexRebuiltEnd);
  if (note.notStored) log_.LogPop3Srv(logtext::kIndexNotStored + spool::MailboxIndexPath(path) + "\r\n");
  return true;
}

bool Pop3Session::handleTransaction(std::string_view line) {
  MaildropCommands& drop = *maildrop_;
  if (CommandIs(line, "QUIT")) {
    const CommitResult result = drop.commit();
    if (result == CommitResult::kFailed) log_.LogPop3Srv(logtext::kCommitFailed + drop.commitProblem() + "\r\n");
    // Let go of the maildrop before the reply: a client that logs in again at once finds it free.
    maildrop_.reset();
    claim_.reset();
    send(result == CommitResult::kCommitted ? reply::kBye : reply::kCommitFailed);
    return false;
  }
  if (CommandIs(line, "STAT")) return drop.stat();
  if (CommandIs(line, "LIST")) return drop.list(line);
  if (CommandIs(line, "RETR")) return drop.retr(line);
  if (CommandIs(line, "DELE")) return drop.dele(line);
  if (CommandIs(line, "NOOP")) return send(reply::kNoop);
  if (CommandIs(line, "RSET")) {
    drop.rebuild();
    return send(reply::kRset);
  }
  if (CommandIs(line, "UIDL")) return drop.uidl(line);
  if (CommandIs(line, "TOP")) return drop.top(line);
  return send(reply::kUnknownCommand);
}

}  // namespace quelma::pop3_server
