// LOGIN and AUTHENTICATE (PLAIN, with an initial response or asked for, and CRAM-MD5),
// checked against the local users under the same rules as the POP3 server's logins.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "codec/base64.h"
#include "codec/md5.h"
#include "imap_server/imap_replies.h"
#include "platform/text.h"
#include "serving/password_forms.h"
#include "spool/maildrop.h"
#include "spool/user_folders.h"

namespace quelma::imap_server {
namespace {

// CRAM-MD5's digest keyed with the password in any of its forms.
bool DigestMatches(std::string_view given, std::string_view challenge, const std::string& stored) {
  const auto forms = serving::PasswordForms(stored);
  return std::any_of(forms.begin(), forms.end(), [&](const std::string& key) {
    return platform::EqualsIgnoreAsciiCase(given, codec::DigestToHex(codec::HmacMd5Of(challenge, key)));
  });
}

}  // namespace

bool ImapSession::plaintextAllowed() const {
  return config::PlaintextLoginAllowed(*config_, options_.secure, options_.fromThisComputer);
}

ImapSession::Next ImapSession::login(Request& r) {
  std::optional<std::string> name, password;
  if (!r.args.space() || !(name = r.args.astring()) || !r.args.space() || !(password = r.args.astring()) ||
      !r.args.atEnd()) {
    return bad(r, "Error in LOGIN arguments");
  }
  if (!plaintextAllowed()) {
    log_.LogImapSrv(logtext::kPlaintextRefused + options_.client + "\r\n");
    return no(r, "[PRIVACYREQUIRED] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.");
  }
  const int user = config::FindLocalUser(*config_, *name);
  const bool known = user >= 0 && !platform::EqualsIgnoreAsciiCase(*name, config_->Daemon);
  const std::string stored = known ? config_->users[static_cast<std::size_t>(user)].password : std::string();
  const bool matches = known && (stored.empty() ? options_.fromThisComputer : serving::PasswordMatches(*password, stored));
  return finishLogin(r.tag, *name, matches, false);
}

ImapSession::Next ImapSession::authenticate(Request& r) {
  const auto mechanism = r.args.space() ? r.args.atom() : std::nullopt;
  if (!mechanism) return bad(r, "Missing mechanism");
  authMechanism_ = platform::ToUpperAscii(*mechanism);
  std::optional<std::string> initial;
  if (r.args.space()) {
    const auto word = r.args.atom();
    if (!word) return bad(r, "Bad initial response");
    initial = std::string(*word);
  }
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  authTag_ = r.tag;
  if (authMechanism_ == "PLAIN") {
    if (!plaintextAllowed()) {
      log_.LogImapSrv(logtext::kPlaintextRefused + options_.client + "\r\n");
      return no(r, "[PRIVACYREQUIRED] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.");
    }
    if (initial) return authenticateLine(*initial);
    return send(reply::kAskAnswer) ? Next::kAuthenticate : Next::kEnd;
  }
  if (authMechanism_ == "CRAM-MD5") {
    if (initial) return bad(r, "CRAM-MD5 takes no initial response");
    return send("+ " + codec::Base64Encode(options_.challenge) + "\r\n") ? Next::kAuthenticate : Next::kEnd;
  }
  return no(r, "Unsupported authentication mechanism.");
}

ImapSession::Next ImapSession::authenticateLine(std::string_view line) {
  const std::string tag = std::move(authTag_);
  authTag_.clear();
  if (line == "*") return tagged(tag, "BAD", "Authentication aborted by client.");
  // "=" is an empty initial response.
  const auto decoded = line == "=" ? std::optional<std::string>("") : codec::Base64DecodeStrict(line);
  if (!decoded) return tagged(tag, "BAD", "Invalid base64 data in continued response");
  if (authMechanism_ == "PLAIN") {
    // authorization identity NUL user NUL password; another identity than the user's fails
    const std::size_t first = decoded->find('\0');
    const std::size_t second = first == std::string::npos ? first : decoded->find('\0', first + 1);
    if (second == std::string::npos) return tagged(tag, "BAD", "Invalid PLAIN response");
    const std::string identity = decoded->substr(0, first);
    const std::string name = decoded->substr(first + 1, second - first - 1);
    const std::string password = decoded->substr(second + 1);
    const int user = config::FindLocalUser(*config_, name);
    const bool known = user >= 0 && !platform::EqualsIgnoreAsciiCase(name, config_->Daemon) &&
                       (identity.empty() || platform::EqualsIgnoreAsciiCase(identity, name));
    const std::string stored = known ? config_->users[static_cast<std::size_t>(user)].password : std::string();
    const bool matches =
        known && (stored.empty() ? options_.fromThisComputer : serving::PasswordMatches(password, stored));
    return finishLogin(tag, name, matches, false);
  }
  // CRAM-MD5: "name digest", HMAC-MD5 of the challenge keyed with the password, in hexadecimal.
  const std::size_t space = decoded->rfind(' ');
  const std::string name = space == std::string::npos ? *decoded : decoded->substr(0, space);
  const int user = config::FindLocalUser(*config_, name);
  const bool known = space != std::string::npos && user >= 0 && !platform::EqualsIgnoreAsciiCase(name, config_->Daemon);
  const std::string stored = known ? config_->users[static_cast<std::size_t>(user)].password : std::string();
  // A user without a password has no secret to prove: only from this computer.
  const bool matches =
      known && (stored.empty() ? options_.fromThisComputer
                               : DigestMatches(std::string_view(*decoded).substr(space + 1), options_.challenge, stored));
  return finishLogin(tag, name, matches, true);
}

// Under the failed-login guard, as the POP3 server does: while the address is locked out the
// outcome is not looked at; a failure is logged, counted and answered after the guard's delay.
ImapSession::Next ImapSession::finishLogin(const std::string& tag, const std::string& name, bool matches, bool) {
  std::optional<serving::LoginGuard::Attempt> attempt =
      options_.guard ? options_.guard->begin(options_.client, config_->AUTH_FAIL_LIMIT) : std::nullopt;
  if (options_.guard && !attempt) return tagged(tag, "NO", "[UNAVAILABLE] Too many failed logins from your address, try again later");
  if (!matches) {
    const int user = config::FindLocalUser(*config_, name);
    if (user < 0) log_.LogImapSrv(logtext::kWrongUser + name + "\"\r\n");
    else log_.LogImapSrv(logtext::kWrongPasswordBegin + name + logtext::kWrongPasswordEnd);
    if (attempt && attempt->failed()) log_.LogImapSrv(serving::LockOutLogText(options_.client, config_->AUTH_FAIL_LIMIT));
    return tagged(tag, "NO", "[AUTHENTICATIONFAILED] Authentication failed.");
  }
  attempt.reset();
  user_ = config::FindLocalUser(*config_, name);
  userName_ = config_->users[static_cast<std::size_t>(user_)].name;
  inbox_ = spool::MaildropPath(*config_, userName_);
  // Sent, Drafts, Trash, Junk and Archive are there from the first login on.
  if (!spool::MakeSpecialUseFolders(inbox_)) log_.LogImapSrv(logtext::kStoreFailed + inbox_ + "\r\n");
  state_ = State::kAuthenticated;
  badInARow_ = 0;
  log_.LogImapSrv(logtext::kUserConnected + userName_ + "\"\r\n");
  return tagged(tag, "OK", "[CAPABILITY " + capabilities() + "] Logged in");
}

}  // namespace quelma::imap_server
