// The maildrop commands of a logged-in POP3 connection: STAT, LIST, RETR, TOP, UIDL, DELE,
// RSET and the commit at QUIT. Each sends its reply and returns false when a send failed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pop3_server/maildrop_file.h"
#include "platform/reply_sink.h"

namespace quelma::pop3_server {

class MaildropCommands {
 public:
  // The maildrop at `path` as it is at login; a missing file stays missing for the connection.
  MaildropCommands(const std::string& path, std::string temporaryPath, platform::ReplySink& sink);

  bool stat();
  bool list(std::string_view line);
  bool retr(std::string_view line);
  bool top(std::string_view line);
  bool uidl(std::string_view line);
  bool dele(std::string_view line);
  void rebuild();
  CommitResult commit();

 private:
  void buildIfEmpty();
  bool send(std::string_view text) { return sink_.send(text); }
  // The message numbered n (from 1) when it exists and is not marked deleted.
  MaildropMessage* live(std::uint64_t n);

  std::optional<MaildropFile> drop_;
  std::string temporaryPath_;
  platform::ReplySink& sink_;
};

// The number after the command word (from the fifth character on, the first run of digits);
// overflowing runs give a number above any message. Nothing without a digit.
std::optional<std::uint64_t> MessageNumberArgument(std::string_view line);

}  // namespace quelma::pop3_server
