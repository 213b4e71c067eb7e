// Lines of a queue file as the upload sends them: pieces of at most 1199 bytes, where the
// line ending that follows a piece filling the whole cap belongs to that piece.
#pragma once

#include <optional>
#include <string>

#include "platform/line_reader.h"
#include "spool/queue_file.h"

namespace quelma::smtp_client {

using spool::kMaxQueueLine;

class QueueLineReader {
 public:
  explicit QueueLineReader(platform::ByteSource& file) : reader_(file, spool::kMaxQueueLine) {}
  // False at the end of the file.
  bool next(std::string& line);

 private:
  platform::LineReader reader_;
  std::optional<std::string> ahead_;
};

}  // namespace quelma::smtp_client
