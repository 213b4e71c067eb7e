// The PLAIN, LOGIN and CRAM-MD5 exchanges and the check against the user table.
#include "smtp_server/smtp_login.h"

#include <algorithm>

#include "codec/base64.h"
#include "codec/md5.h"
#include "platform/text.h"
#include "smtp_server/smtp_replies.h"
#include "serving/password_forms.h"

namespace quelma::smtp_server {
namespace {

using reply::kCancelled;
using reply::kCannotDecode;
using reply::kEncryptionRequired;
using reply::kUnknownMechanism;

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& ch : upper) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return upper;
}

std::string Ask(std::string_view question) { return reply::kAskBegin + codec::Base64Encode(question) + "\r\n"; }

}  // namespace

std::string AuthMechanisms(bool secure) { return secure ? "PLAIN LOGIN CRAM-MD5" : "CRAM-MD5"; }

SmtpLogin::Step SmtpLogin::start(std::string_view line) {
  line = WithoutLineEnd(line);
  line = line.size() > 5 ? line.substr(5) : std::string_view();  // after "AUTH "
  const std::size_t space = line.find(' ');
  mechanism_ = UpperAscii(line.substr(0, space));
  const std::string_view initial = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  const bool plain = mechanism_ == "PLAIN", login = mechanism_ == "LOGIN";
  if (!plain && !login && mechanism_ != "CRAM-MD5") return {Outcome::kRefused, kUnknownMechanism, {}};
  if ((plain || login) && !secure_) return {Outcome::kRefused, kEncryptionRequired, {}};
  if (plain) {
    stage_ = Stage::kPlain;
    return initial.empty() ? Step{Outcome::kAsk, reply::kAskForAnswer, {}} : answer(initial);
  }
  if (login) {
    stage_ = Stage::kLoginName;
    return initial.empty() ? Step{Outcome::kAsk, Ask("Username:"), {}} : answer(initial);
  }
  stage_ = Stage::kCram;
  return {Outcome::kAsk, Ask(challenge_), {}};
}

SmtpLogin::Step SmtpLogin::answer(std::string_view line) {
  line = WithoutLineEnd(line);
  const Stage stage = stage_;
  stage_ = Stage::kNone;
  if (line == "*") return {Outcome::kRefused, kCancelled, {}};
  const auto decoded = codec::Base64DecodeStrict(line);
  if (!decoded) return {Outcome::kRefused, kCannotDecode, {}};
  switch (stage) {
    case Stage::kPlain: {
      // authorization identity NUL user NUL password; another identity than the user's is refused
      const std::size_t first = decoded->find('\0');
      const std::size_t second = first == std::string::npos ? first : decoded->find('\0', first + 1);
      if (second == std::string::npos) return {Outcome::kRefused, kCannotDecode, {}};
      const std::string identity = decoded->substr(0, first);
      const std::string name = decoded->substr(first + 1, second - first - 1);
      if (!identity.empty() && !platform::EqualsIgnoreAsciiCase(identity, name)) return check("", "");
      return check(name, decoded->substr(second + 1));
    }
    case Stage::kLoginName:
      loginName_ = *decoded;
      stage_ = Stage::kLoginPassword;
      return {Outcome::kAsk, Ask("Password:"), {}};
    case Stage::kLoginPassword: return check(loginName_, *decoded);
    case Stage::kCram: return checkCram(*decoded);
    case Stage::kNone: break;
  }
  return {Outcome::kRefused, kCancelled, {}};
}

// The name as any user's, never the daemon's; a user without a password cannot log in here
// (it would let anyone send through the office's provider). Passwords compare as the POP3
// server compares them: ignoring the case of ASCII letters, in Windows-1251 or UTF-8.
SmtpLogin::Step SmtpLogin::check(const std::string& name, const std::string& password) {
  const int user = config::FindLocalUser(config_, name);
  if (user < 0 || platform::EqualsIgnoreAsciiCase(name, config_.Daemon)) return {Outcome::kFailed, {}, name};
  const config::LocalUser& u = config_.users[static_cast<std::size_t>(user)];
  if (u.password.empty() || !serving::PasswordMatches(password, u.password)) return {Outcome::kFailed, {}, name};
  return {Outcome::kLoggedIn, {}, u.name};
}

// "name digest": HMAC-MD5 of the challenge keyed with the password, in hexadecimal.
SmtpLogin::Step SmtpLogin::checkCram(const std::string& response) {
  const std::size_t space = response.rfind(' ');
  if (space == std::string::npos) return {Outcome::kFailed, {}, {}};
  const std::string name = response.substr(0, space);
  const int user = config::FindLocalUser(config_, name);
  if (user < 0 || platform::EqualsIgnoreAsciiCase(name, config_.Daemon)) return {Outcome::kFailed, {}, name};
  const config::LocalUser& u = config_.users[static_cast<std::size_t>(user)];
  const auto forms = serving::PasswordForms(u.password);
  const bool matches = std::any_of(forms.begin(), forms.end(), [&](const std::string& key) {
    return platform::EqualsIgnoreAsciiCase(response.substr(space + 1), codec::DigestToHex(codec::HmacMd5Of(challenge_, key)));
  });
  if (u.password.empty() || !matches) {
    return {Outcome::kFailed, {}, name};
  }
  return {Outcome::kLoggedIn, {}, u.name};
}

}  // namespace quelma::smtp_server
