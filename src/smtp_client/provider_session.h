// The protocol side of the upload: log in at the provider's SMTP server, send one queue file
// as one transaction, say goodbye. Fatal faults throw UploadError with their number.
#pragma once

#include <cstdint>
#include <string>

#include "link/activity_log.h"
#include "config/configuration.h"
#include "platform/files.h"
#include "smtp_client/provider_connection.h"
#include "smtp_client/upload_error.h"

namespace quelma::smtp_client {

enum class TransactionResult {
  kSent = 0,
  kSenderRefused = 1,  // or no recipient line: nothing was sent
  kDataRefused = 2,
  kEndRefused = 3,
  kSentWithRefusedRecipient = 4,  // the last recipient line was refused
};

inline constexpr char kTraceHeader[] =
    "X-Passed-Through: Quelmar Mail Server v.0.7.10, office mail relay\r\n";

class ProviderSession {
 public:
  ProviderSession(const config::Configuration& config, link::ActivityLog& log, std::uint32_t timeoutMs)
      : config_(config), log_(log), timeoutMs_(timeoutMs) {}

  void logIn();
  TransactionResult sendQueueFile(platform::InputFile& file);
  void quit();
  void close() { connection_.close(); }

 private:
  void log(std::string_view text) { log_.LogSmtpClient(text); }
  void connect();
  void greet();
  bool authenticate();  // false when the server offers no method we know
  void authPlain();
  void authLogin();
  void authCramMd5();
  void requireAccepted();
  UploadError readFailure();
  void resetOpenTransaction();
  bool sendSender(const std::string& line);
  bool sendRecipient(const std::string& line);
  void sendMessageLine(std::string& line);  // changes `line` on its way

  const config::Configuration& config_;
  link::ActivityLog& log_;
  std::uint32_t timeoutMs_;
  ProviderConnection connection_;
  std::string sender_;              // the rewritten sender of the current transaction
  bool transactionOpen_ = false;    // MAIL was accepted and no end of data followed
  bool traceAdded_ = false;
  bool fromHandled_ = false;
  bool replyToHandled_ = false;
};

}  // namespace quelma::smtp_client
