// The SMTP session's phases, its two command tables and the recipient classification.
#include "smtp_server/smtp_session.h"

#include "platform/text.h"
#include "smtp_server/smtp_replies.h"

namespace quelma::smtp_server {
namespace {

bool Is(std::string_view line, std::string_view word) { return platform::StartsWithIgnoreAsciiCase(line, word); }


}  // namespace

std::string Printable(std::string_view text) { return platform::Printable(text, limits::kAddress); }

std::string TakeAddress(std::string_view rest) {
  std::size_t i = 0;
  while (i < rest.size() && (rest[i] == ' ' || rest[i] == '<')) ++i;
  const std::size_t begin = i;
  while (i < rest.size() && rest[i] != '>' && rest[i] != ' ' && rest[i] != '\r' && rest[i] != '\n') ++i;
  return std::string(platform::Cut(rest.substr(begin, i - begin), limits::kAddress));
}

// HELO, EHLO and QUIT before the client has said who it is; any other line is a syntax error.
const SmtpSession::Command SmtpSession::kGreetingCommands[] = {
    {"HELO ", &SmtpSession::helo},
    {"EHLO ", &SmtpSession::ehloGreeting},
    {"QUIT\r", &SmtpSession::quit},
    {"QUIT ", &SmtpSession::quit},
};

// After the greeting: the first entry whose word starts the line handles it (what follows the
// word does not matter for the choice: "NOOPX" is a NOOP); no entry, "500 Unknown command".
const SmtpSession::Command SmtpSession::kCommands[] = {
    {"AUTH ", &SmtpSession::auth},  {"HELO", &SmtpSession::heloAgain}, {"EHLO ", &SmtpSession::ehloAgain},
    {"STARTTLS", &SmtpSession::startTls}, {"MAIL", &SmtpSession::mail}, {"RCPT", &SmtpSession::rcpt},
    {"DATA", &SmtpSession::data},   {"RSET", &SmtpSession::rset},      {"NOOP", &SmtpSession::noop},
    {"QUIT", &SmtpSession::quit},
};

SmtpAction SmtpSession::handleLine(std::string_view line) {
  switch (phase_) {
    case Phase::kAuthAnswer: return authAnswer(line);
    case Phase::kGreeting:
      return dispatch(std::begin(kGreetingCommands), std::end(kGreetingCommands), line, reply::kSyntaxError);
    case Phase::kCommands: return dispatch(std::begin(kCommands), std::end(kCommands), line, reply::kUnknownCommand);
  }
  return SmtpAction::kEnd;
}

SmtpAction SmtpSession::dispatch(const Command* begin, const Command* end, std::string_view line,
                                 std::string_view otherwise) {
  for (const Command* command = begin; command != end; ++command) {
    if (Is(line, command->word)) return (this->*command->handler)(line);
  }
  return reply(otherwise);
}

SmtpAction SmtpSession::helo(std::string_view line) {
  std::string_view name = line.substr(5);
  name = name.substr(0, name.find_first_of(" \r"));
  // A longer name is cut to what the field holds; it is only shown.
  const std::string client(platform::Cut(name, limits::kClientName));
  log_.LogSmtpSrv(logtext::kUserConnected + Printable(client) + "\r\n");
  if (!sink_.send(reply::kHelloBegin + client + reply::kHelloEnd)) return SmtpAction::kEnd;
  phase_ = Phase::kCommands;
  return SmtpAction::kContinue;
}

// With EHLO turned off (SMTP_EHLO = NO) it is the old server's syntax error, or unknown command.
SmtpAction SmtpSession::ehloGreeting(std::string_view line) {
  return options_.ehlo ? ehlo(line) : reply(reply::kSyntaxError);
}

// A second EHLO starts over, as RSET would, and gets the extensions again.
SmtpAction SmtpSession::ehloAgain(std::string_view line) {
  return options_.ehlo ? ehlo(line) : reply(reply::kUnknownCommand);
}

SmtpAction SmtpSession::heloAgain(std::string_view) { return reply(reply::kHeloAgain); }

SmtpAction SmtpSession::rset(std::string_view) {
  envelope_ = Envelope{};
  return reply(reply::kOk);
}

SmtpAction SmtpSession::noop(std::string_view) { return reply(reply::kOk); }

// The session ends whatever the send did.
SmtpAction SmtpSession::quit(std::string_view) {
  sink_.send(reply::kBye);
  return SmtpAction::kEnd;
}

SmtpAction SmtpSession::ehlo(std::string_view line) {
  std::string_view name = line.substr(5);
  name = name.substr(0, name.find_first_of(" \r"));
  const std::string client(platform::Cut(name, limits::kClientName));
  if (phase_ == Phase::kGreeting) log_.LogSmtpSrv(logtext::kUserConnected + Printable(client) + "\r\n");
  std::vector<std::string> extensions(std::begin(reply::kExtensions), std::end(reply::kExtensions));
  if (options_.offerStartTls) extensions.emplace_back(reply::kStartTlsExtension);
  if (config_->SMTP_SRV_AUTH != config::SmtpServerAuth::kNo) extensions.push_back("AUTH " + AuthMechanisms(options_.secure));
  std::string text = reply::kEhloBegin + client + reply::kHelloEnd;
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    text += (i + 1 < extensions.size() ? "250-" : "250 ") + extensions[i] + "\r\n";
  }
  envelope_ = Envelope{};
  if (!sink_.send(text)) return SmtpAction::kEnd;
  phase_ = Phase::kCommands;
  return SmtpAction::kContinue;
}

SmtpAction SmtpSession::startTls(std::string_view) {
  if (!options_.offerStartTls) return reply(reply::kUnknownCommand);
  return sink_.send(reply::kReadyToStartTls) ? SmtpAction::kStartTls : SmtpAction::kEnd;
}

SmtpAction SmtpSession::mail(std::string_view line) {
  envelope_.sender.clear();
  envelope_.hasSender = false;
  if (!Is(line, "MAIL FROM:")) return reply(reply::kSyntaxError);
  if (config_->SMTP_SRV_AUTH == config::SmtpServerAuth::kRequired && user_.empty()) {
    return reply(reply::kAuthRequired);
  }
  std::string_view rest = line.substr(10);
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  envelope_.sender = TakeAddress(rest);
  // "<>" is the null reverse-path of bounces and receipts; no address at all is no sender.
  if (envelope_.sender.empty() && !rest.starts_with("<>")) return reply(reply::kSyntaxError);
  envelope_.hasSender = true;
  return reply(reply::kOk);
}

SmtpAction SmtpSession::rcpt(std::string_view line) {
  if (envelope_.outgoing.size() >= limits::kRecipients || envelope_.local.size() >= limits::kRecipients) {
    return reply(reply::kTooManyRecipients);
  }
  if (!Is(line, "RCPT TO:")) return reply(reply::kSyntaxError);
  if (config_->SMTP_SRV_AUTH == config::SmtpServerAuth::kRequired && user_.empty()) {
    return reply(reply::kAuthRequired);
  }
  const std::string address = TakeAddress(line.substr(8));
  const auto at = address.find('@');
  // "postmaster" without a domain is always accepted, for the postmaster.
  if (at == std::string::npos && platform::EqualsIgnoreAsciiCase(address, "postmaster")) {
    envelope_.local.emplace_back(platform::Cut(config_->PostMaster, limits::kLocalName));
    return reply(reply::kOk);
  }
  if (at == std::string::npos) return reply(reply::kUnknownRecipient);
  // The domain compares with the Windows-1251 case rule: local domains may be Cyrillic.
  if (platform::ToLowerCp1251(std::string_view(address).substr(at + 1)) != platform::ToLowerCp1251(config_->LocalDomain)) {
    // Mail to outside addresses leaves through the office's provider account: only for our own.
    if (!options_.mayRelay && user_.empty()) {
      log_.LogSmtpSrv(logtext::kRelayDeniedBegin + Printable(address) + " клиенту " + options_.client + logtext::kRelayDeniedEnd);
      return reply(reply::kRelayingDenied);
    }
    envelope_.outgoing.push_back(address);
    return reply(reply::kOk);
  }
  const std::string localPart = address.substr(0, at);
  if (config::FindLocalUser(*config_, localPart) >= 0) {
    envelope_.local.emplace_back(platform::Cut(localPart, limits::kLocalName));
    return reply(reply::kOk);
  }
  if (!sink_.send(reply::kForwardedToPostmaster)) return SmtpAction::kEnd;
  envelope_.local.emplace_back(platform::Cut(config_->PostMaster, limits::kLocalName));
  return SmtpAction::kContinue;
}

SmtpAction SmtpSession::data(std::string_view) {
  if (!envelope_.hasSender || (envelope_.outgoing.empty() && envelope_.local.empty())) {
    return reply(reply::kBadSequence);
  }
  return sink_.send(reply::kStartMailInput) ? SmtpAction::kReceiveText : SmtpAction::kEnd;
}

}  // namespace quelma::smtp_server

namespace quelma::smtp_server {

SmtpAction SmtpSession::auth(std::string_view line) {
  if (config_->SMTP_SRV_AUTH == config::SmtpServerAuth::kNo) return reply(reply::kUnknownCommand);
  if (!user_.empty()) return reply(reply::kAlreadyLoggedIn);
  if (envelope_.hasSender) return reply(reply::kBadSequence);
  login_.emplace(*config_, options_.secure, options_.challenge);
  return guardedStep([this, line] { return login_->start(line); });
}

SmtpAction SmtpSession::authAnswer(std::string_view line) {
  return guardedStep([this, line] { return login_->answer(line); });
}

// Each step of the exchange under the failed-login guard: while the address is locked out
// (also when it was locked out after the exchange began) nothing is checked.
SmtpAction SmtpSession::guardedStep(const std::function<SmtpLogin::Step()>& step) {
  std::optional<serving::LoginGuard::Attempt> attempt =
      options_.guard ? options_.guard->begin(options_.client, config_->AUTH_FAIL_LIMIT) : std::nullopt;
  if (options_.guard && !attempt) {
    login_.reset();
    phase_ = Phase::kCommands;
    return reply(reply::kLockedOut);
  }
  const SmtpLogin::Step result = step();
  if (result.outcome == SmtpLogin::Outcome::kAsk) {
    phase_ = Phase::kAuthAnswer;
    return reply(result.reply);
  }
  phase_ = Phase::kCommands;
  const std::string mechanism = login_->mechanism();
  login_.reset();
  switch (result.outcome) {
    case SmtpLogin::Outcome::kLoggedIn:
      user_ = result.user;
      log_.LogSmtpSrv(logtext::kLoggedInBegin + user_ + "\" (AUTH " + mechanism + ")\r\n");
      return reply(reply::kLoggedIn);
    case SmtpLogin::Outcome::kFailed:
      log_.LogSmtpSrv(logtext::kLoginFailedBegin + Printable(result.user) + "\" (AUTH " + mechanism + ") с адреса " +
                      options_.client + "\r\n");
      if (attempt && attempt->failed()) log_.LogSmtpSrv(serving::LockOutLogText(options_.client, config_->AUTH_FAIL_LIMIT));
      return reply(reply::kLoginFailed);
    default: return reply(result.reply);
  }
}

}  // namespace quelma::smtp_server
