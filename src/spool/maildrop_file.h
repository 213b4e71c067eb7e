// A scan of a maildrop file: where its messages are and the ids UIDL gives them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace quelma::spool {

struct MaildropMessage {
  std::uint64_t separatorOffset = 0;
  std::uint64_t textOffset = 0;  // just after the separator line
  std::uint64_t size = 0;        // text bytes, CR LF included, separator line excluded
  std::optional<std::string> uid;  // from the separator line, or derived from the text
};

class MaildropFile {
 public:
  // Nothing when the file does not exist.
  static std::optional<MaildropFile> Open(const std::string& path);

  // Reads the separators, for a caller that holds the maildrop's delivery lock; with `from`,
  // only the messages whose separators lie from there on (text before the first is no
  // message's), and with `to` only the bytes before it (the file's size the caller saw).
  void buildIndexHeld(std::uint64_t from = 0, std::uint64_t to = UINT64_MAX);
  std::vector<MaildropMessage>& messages() { return messages_; }

 private:
  MaildropFile(std::string path, platform::InputFile file) : path_(std::move(path)), file_(std::move(file)) {}
  void deriveMissingIds();

  std::string path_;
  std::optional<platform::InputFile> file_;
  std::vector<MaildropMessage> messages_;
};

}  // namespace quelma::spool
