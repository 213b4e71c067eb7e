// The maildrop commands of a logged-in POP3 connection: STAT, LIST, RETR, TOP, UIDL, DELE,
// RSET and the commit at QUIT. Each sends its reply and returns false when the connection is
// to end: a send failed, or a message could not be read whole (a cut one is never ended as if
// it were whole).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/reply_sink.h"
#include "spool/maildrop_file.h"

namespace quelma::pop3_server {

class MaildropCommands {
 public:
  // The maildrop at `path` as it is at login; a missing file stays missing for the connection.
  MaildropCommands(const std::string& path, std::string temporaryPath, net::ReplySink& sink);

  bool stat();
  bool list(std::string_view line);
  bool retr(std::string_view line);
  bool top(std::string_view line);
  bool uidl(std::string_view line);
  bool dele(std::string_view line);
  void rebuild();
  spool::CommitResult commit();

 private:
  void buildIfEmpty();
  bool send(std::string_view text) { return sink_.send(text); }
  bool sendMessage(std::string_view status, const spool::MaildropMessage& m, std::optional<std::uint64_t> topLines);
  // The message numbered n (from 1) when it exists and is not marked deleted.
  spool::MaildropMessage* live(std::uint64_t n);

  std::optional<spool::MaildropFile> drop_;
  std::string temporaryPath_;
  net::ReplySink& sink_;
};

// The number after the command word (from the fifth character on, the first run of digits);
// overflowing runs give a number above any message. Nothing without a digit.
std::optional<std::uint64_t> MessageNumberArgument(std::string_view line);

}  // namespace quelma::pop3_server
