// The maildrop commands of a logged-in POP3 connection: STAT, LIST, RETR, TOP, UIDL, DELE,
// RSET and the commit at QUIT. Each sends its reply and returns false when the connection is
// to end: a send failed, or a message could not be read whole (a cut one is never ended as if
// it were whole).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/reply_sink.h"
#include <memory>
#include <vector>

#include "spool/mailbox.h"

namespace quelma::pop3_server {

enum class CommitResult { kCommitted, kFailed };  // of the deletions at QUIT

class MaildropCommands {
 public:
  // The maildrop at `path` as it is at login; a missing file stays missing for the connection.
  MaildropCommands(const std::string& path, net::ReplySink& sink);

  bool stat();
  bool list(std::string_view line);
  bool retr(std::string_view line);
  bool top(std::string_view line);
  bool uidl(std::string_view line);
  bool dele(std::string_view line);
  void rebuild();
  // The messages marked deleted are expunged from the mailbox (its other sessions see them go).
  CommitResult commit();
  // What opening the mailbox found (its index rebuilt, flags lost), for the log.
  const spool::MailboxOpenNote& openNote() const { return openNote_; }
  // Why the commit failed: the file and the reason.
  const std::string& commitProblem() const { return commitProblem_; }

 private:
  struct Listed {
    std::uint32_t uid = 0;
    std::uint64_t size = 0;
    std::string id;
    bool deleted = false;
  };
  void buildIfEmpty();
  bool send(std::string_view text) { return sink_.send(text); }
  bool sendMessage(std::string_view status, const Listed& m, std::optional<std::uint64_t> topLines);
  // The message numbered n (from 1) when it exists and is not marked deleted.
  const Listed* live(std::uint64_t n) const;

  std::vector<std::uint32_t> deletedUids(std::uint32_t& validity) const;

  std::shared_ptr<spool::Mailbox> mailbox_;  // none: there was no maildrop at login
  std::vector<Listed> messages_;
  std::uint32_t validity_ = 0;  // the UIDVALIDITY messages_ were listed under
  spool::MailboxOpenNote openNote_;
  std::string commitProblem_;
  net::ReplySink& sink_;
};

// The number after the command word (from the fifth character on, the first run of digits);
// overflowing runs give a number above any message. Nothing without a digit.
std::optional<std::uint64_t> MessageNumberArgument(std::string_view line);

}  // namespace quelma::pop3_server
