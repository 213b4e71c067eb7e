// The AUTH exchange of the SMTP server with a local mail program: PLAIN and LOGIN (only once
// TLS is up) and CRAM-MD5, checked against the local users' names and passwords. Free of
// sockets: it takes the AUTH line and each answer line, and says what to send back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"

namespace quelma::smtp_server {

// What EHLO lists after "AUTH ": CRAM-MD5 always, PLAIN and LOGIN only over TLS.
std::string AuthMechanisms(bool secure);

class SmtpLogin {
 public:
  enum class Outcome {
    kAsk,        // send `reply` (a "334" line) and hand the next line to answer()
    kLoggedIn,   // the user is `user`
    kFailed,     // wrong name or password: counted as a failed login
    kRefused,    // nothing was checked (cancelled, a mechanism not offered, an answer not Base64)
  };
  struct Step {
    Outcome outcome;
    std::string reply;  // the "334" question or the refusal; empty after a check (the caller answers)
    std::string user;   // the name as the user table spells it, after kLoggedIn
  };

  // `challenge` is the CRAM-MD5 time stamp ("<...@host>"), new for each session.
  SmtpLogin(const config::Configuration& config, bool secure, std::string challenge)
      : config_(config), secure_(secure), challenge_(std::move(challenge)) {}

  // "AUTH mechanism [initial-response]".
  Step start(std::string_view line);
  // The client's answer to a "334" question (CR LF may still end it).
  Step answer(std::string_view line);
  // The mechanism of the exchange, for the log.
  const std::string& mechanism() const { return mechanism_; }

 private:
  enum class Stage { kNone, kPlain, kLoginName, kLoginPassword, kCram };
  Step check(const std::string& name, const std::string& password);
  Step checkCram(const std::string& response);

  const config::Configuration& config_;
  bool secure_;
  std::string challenge_;
  std::string mechanism_;
  Stage stage_ = Stage::kNone;
  std::string loginName_;
};

}  // namespace quelma::smtp_server
