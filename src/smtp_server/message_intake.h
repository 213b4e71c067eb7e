// The text after DATA: into a queue file, into the local recipients' maildrops and the boss
// copy, each flushed to disk before the client hears "250 OK".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/configuration.h"
#include "net/line_limits.h"
#include "net/transfer_form.h"
#include "platform/files.h"
#include "spool/maildrop.h"
#include "smtp_server/smtp_session.h"

namespace quelma::smtp_server {

inline constexpr std::size_t kMaxStoredLine = net::kMaxSmtpLine;  // longer lines are stored in pieces

class MessageIntake {
 public:
  MessageIntake(const config::Configuration& config, const Envelope& envelope);
  ~MessageIntake();  // removes the work file of an intake that did not finish

  // Creates the work file with the envelope; false when it cannot be made. The intake then
  // still takes the text to its end, and finish() stores nothing.
  bool begin();

  // One piece of text as the line reader gives it (at most 1199 bytes, ending after a line
  // feed or at the cap). True once the line "." has ended the message.
  bool addPiece(std::string_view piece);

  struct Stored {
    std::string name;  // the message name
    bool queued;       // a queue file stays for the outgoing recipients
  };
  // Syncs the work file, delivers the local and boss copies, and publishes the queue file (or
  // drops it for purely local mail). Nothing when the queue file could not be made.
  std::optional<Stored> finish();

  // The client did not hear the acknowledgement: the queue file goes again.
  void withdraw(const Stored& stored);

  const std::string& workPath() const { return workPath_; }
  // After a failed begin() or finish(): the file that could not be written, and the system's
  // reason ("/office/queue/smtps-01A2B3C4.tmp: No space left on device").
  const std::string& failure() const { return failure_; }
  // After a finish() that stored the message: a step after its commit that failed, left to
  // recovery (the file and the reason), or empty.
  const std::string& unfinished() const { return unfinished_; }
  // The name the message gets: the tick read when the intake began, as 8 hex digits.
  std::string plannedName() const;
  std::string queuePath(const std::string& name) const { return config_.QueueDir + name; }

 private:
  bool write(std::string_view bytes);
  struct LocalCopy {
    std::string path;
    bool bossCopy = false;
    std::string separator;
  };
  std::vector<LocalCopy> localCopies() const;
  std::optional<std::vector<std::uint64_t>> copySizes(const std::vector<LocalCopy>& copies);
  bool deliverLocally(const std::vector<LocalCopy>& copies);
  bool copyMessage(spool::MaildropTextWriter& out, bool bossCopy);

  const config::Configuration& config_;
  const Envelope& envelope_;
  std::uint32_t tick_;
  std::string workPath_;
  std::optional<platform::OutputFile> work_;
  std::string buffer_;
  std::uint64_t envelopeSize_ = 0;
  net::DotUnstuffer unstuffer_;  // the text without transparency dots, CR LF line ends
  bool failed_ = false;
  std::string failure_;
  std::string unfinished_;
  void fail(const std::string& path);
  void failWith(const std::string& text);
};

}  // namespace quelma::smtp_server
