// One POP3 connection after the greeting: the authorization dialogue, then the transaction
// commands. Free of sockets: it takes lines and sends replies to a sink.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/activity_log.h"
#include "serving/login_guard.h"
#include "config/configuration.h"
#include "pop3_server/maildrop_commands.h"
#include "net/reply_sink.h"
#include "spool/maildrop_claim.h"

namespace quelma::pop3_server {

struct Pop3SessionOptions {
  bool offerStls = false;  // a certificate is set and TLS is not up yet
  std::string client;      // the client's address: failed logins are counted per address
  serving::LoginGuard* guard = nullptr;  // none: failures are neither slowed nor counted
  std::string apopStamp;   // the greeting's time stamp "<...>"; empty: APOP is not offered
  bool secure = false;     // TLS is up (the TLS port, or after STLS)
  // The client runs on this computer: a user without a password logs in only from here, and
  // PLAINTEXT_LOGIN = LOCAL takes USER/PASS in clear only from here.
  bool fromThisComputer = true;
};

class Pop3Session {
 public:
  Pop3Session(std::shared_ptr<const config::Configuration> config, link::ActivityLog& log, net::ReplySink& sink,
              Pop3SessionOptions options = {})
      : config_(std::move(config)), log_(log), sink_(sink), options_(options) {}

  // False when the connection is to end (QUIT, a failed send, or STLS taken).
  bool handleLine(std::string_view line);
  bool loggedIn() const { return phase_ == Phase::kTransaction; }
  // STLS was answered "+OK": TLS comes next, and after it a new session.
  bool startTlsRequested() const { return startTls_; }

 private:
  enum class Phase { kUser, kPass, kTransaction };
  bool handleUser(std::string_view line);
  bool handlePass(std::string_view line);
  bool handleApop(std::string_view line);
  bool handleTransaction(std::string_view line);
  // CAPA and STLS, taken before the phase's own commands; nothing when the line is neither.
  std::optional<bool> handleCapabilities(std::string_view line);
  bool beginTransaction();
  bool finishLogin(bool passwordMatches);
  bool refuseUnknownUser(const std::optional<std::string>& name);
  bool passwordMatches(const std::string& stored, bool typedMatches) const;
  bool plaintextAllowed() const;
  bool send(std::string_view text) { return sink_.send(text); }

  std::shared_ptr<const config::Configuration> config_;
  link::ActivityLog& log_;
  net::ReplySink& sink_;
  Pop3SessionOptions options_;
  bool startTls_ = false;
  Phase phase_ = Phase::kUser;
  std::string userName_;  // as typed
  int userIndex_ = -1;
  std::optional<spool::MaildropClaim> claim_;  // outlives the maildrop's commit
  std::optional<MaildropCommands> maildrop_;
};

// "USER name": the name after index 5, of letters, digits, "_", "-" and ".", cut to 30.
std::optional<std::string> ReadUserName(std::string_view line);
// "PASS word": the letters and digits after index 5, cut to 10; empty when there are none.
std::string ReadPassword(std::string_view line);

// The greeting, with the APOP time stamp before its CR LF.
std::string Pop3Greeting(const std::string& apopStamp);

}  // namespace quelma::pop3_server
