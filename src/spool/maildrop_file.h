// An open maildrop of one POP3 connection: its message index, message bytes, and the commit.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace quelma::spool {

struct MaildropMessage {
  std::uint64_t separatorOffset = 0;
  std::uint64_t textOffset = 0;  // just after the separator line
  std::uint64_t size = 0;        // text bytes, CR LF included, separator line excluded
  bool deleted = false;
  std::optional<std::string> uid;  // from the separator line, or derived from the text
};

enum class CommitResult { kCommitted, kFailed, kDeleteFailed };

class MaildropFile {
 public:
  // Nothing when the file does not exist (the connection then has no maildrop).
  static std::optional<MaildropFile> Open(const std::string& path);

  // Reads the separators under the maildrop's locks; every deletion mark is dropped.
  void buildIndex();
  // The same for a caller that holds the maildrop's delivery lock already; with `from`, only
  // the messages whose separators lie from there on (text before the first is no message's).
  void buildIndexHeld(std::uint64_t from = 0);
  std::vector<MaildropMessage>& messages() { return messages_; }

  // Hands the text stored for `m` to `onPiece` in order, in pieces of any length, until the
  // message ends or `onPiece` returns false (the reader has what it wants).
  enum class ReadResult { kWhole, kStopped, kReadFailed };
  ReadResult readText(const MaildropMessage& m, const std::function<bool(std::string_view piece)>& onPiece);

  // Rewrites the maildrop without the deleted messages, keeping mail appended since the index
  // was built; the file is replaced atomically and removed when nothing is left, either of
  // them durable before kCommitted. Closes it.
  CommitResult commit(const std::string& temporaryPath);

 private:
  MaildropFile(std::string path, platform::InputFile file) : path_(std::move(path)), file_(std::move(file)) {}
  bool copyRange(platform::OutputFile& out, std::uint64_t begin, std::uint64_t end);
  void deriveMissingIds();
  CommitResult removeMaildrop();

  std::string path_;
  std::optional<platform::InputFile> file_;
  std::vector<MaildropMessage> messages_;
  std::uint64_t indexedEnd_ = 0;  // file size when the index was built
};

}  // namespace quelma::spool
