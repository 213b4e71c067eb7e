// One SMTP connection after the greeting, as a state machine: the greeting phase (HELO, EHLO,
// QUIT), the command phase (a table of command words and their handlers), and an AUTH exchange
// waiting for the client's answer. Free of sockets: it takes lines, sends replies to a sink,
// and says when text follows.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/activity_log.h"
#include "serving/login_guard.h"
#include "smtp_server/smtp_login.h"
#include "config/configuration.h"
#include "net/reply_sink.h"

namespace quelma::smtp_server {

namespace limits {
inline constexpr std::size_t kClientName = 63;
inline constexpr std::size_t kAddress = 149;
inline constexpr std::size_t kLocalName = 64;
inline constexpr std::size_t kRecipients = 100;  // per list
}  // namespace limits

struct Envelope {
  bool hasSender = false;              // MAIL was accepted
  std::string sender;                  // empty with hasSender: the null reverse-path <> (a bounce, a receipt)
  std::vector<std::string> outgoing;   // full addresses as written
  std::vector<std::string> local;      // LocalUser names as written, or the PostMaster name
};

// kStartTls: "220" was sent; TLS comes next, and after it a new session that has heard nothing.
enum class SmtpAction { kContinue, kEnd, kReceiveText, kStartTls };

struct SmtpSessionOptions {
  bool ehlo = true;           // EHLO answered with the extensions (else "501 Syntax error")
  bool offerStartTls = false;  // a certificate is set and TLS is not up yet
  bool mayRelay = true;        // outside recipients are taken (the client is in RELAY_NETWORKS)
  std::string client;          // the client's address, for log lines and the failed-login count
  bool secure = false;         // TLS is up: PLAIN and LOGIN may be offered
  serving::LoginGuard* guard = nullptr;  // none: failed logins are neither slowed nor counted
  std::string challenge;       // the CRAM-MD5 challenge of this connection
};

class SmtpSession {
 public:
  SmtpSession(std::shared_ptr<const config::Configuration> config, link::ActivityLog& log, net::ReplySink& sink,
              SmtpSessionOptions options = {})
      : config_(std::move(config)), log_(log), sink_(sink), options_(options) {}

  SmtpAction handleLine(std::string_view line);
  bool greeted() const { return phase_ != Phase::kGreeting; }
  const Envelope& envelope() const { return envelope_; }
  // The local user who logged in with AUTH; empty before.
  const std::string& loggedInUser() const { return user_; }
  // After a stored message: the recipient lists are emptied, the sender stays.
  void messageStored() {
    envelope_.outgoing.clear();
    envelope_.local.clear();
  }

 private:
  // kGreeting until HELO or EHLO is answered; kAuthAnswer while an AUTH exchange waits for the
  // client's next line; kCommands otherwise.
  enum class Phase { kGreeting, kCommands, kAuthAnswer };
  using Handler = SmtpAction (SmtpSession::*)(std::string_view line);
  struct Command {
    std::string_view word;  // the line's start, compared ignoring ASCII case
    Handler handler;
  };
  static const Command kGreetingCommands[];
  static const Command kCommands[];
  SmtpAction dispatch(const Command* begin, const Command* end, std::string_view line, std::string_view otherwise);

  SmtpAction helo(std::string_view line);
  SmtpAction ehloGreeting(std::string_view line);
  SmtpAction ehloAgain(std::string_view line);
  SmtpAction ehlo(std::string_view line);
  SmtpAction heloAgain(std::string_view line);
  SmtpAction startTls(std::string_view line);
  SmtpAction mail(std::string_view line);
  SmtpAction rcpt(std::string_view line);
  SmtpAction data(std::string_view line);
  SmtpAction rset(std::string_view line);
  SmtpAction noop(std::string_view line);
  SmtpAction quit(std::string_view line);
  SmtpAction auth(std::string_view line);
  SmtpAction authAnswer(std::string_view line);
  SmtpAction guardedStep(const std::function<SmtpLogin::Step()>& step);
  SmtpAction reply(std::string_view text) { return sink_.send(text) ? SmtpAction::kContinue : SmtpAction::kEnd; }

  std::shared_ptr<const config::Configuration> config_;
  link::ActivityLog& log_;
  net::ReplySink& sink_;
  SmtpSessionOptions options_;
  Phase phase_ = Phase::kGreeting;
  Envelope envelope_;
  std::optional<SmtpLogin> login_;  // an AUTH exchange waiting for the client's answer
  std::string user_;
};

// A name or address a client sent, as the log may show it: control bytes as "?", at most 149
// bytes, so no client can write lines of its own into the log.
std::string Printable(std::string_view text);

// The address after "MAIL FROM:" or "RCPT TO:": blanks and "<" skipped, then up to ">",
// a blank, CR, LF or the end, cut to 149 characters.
std::string TakeAddress(std::string_view rest);

}  // namespace quelma::smtp_server
