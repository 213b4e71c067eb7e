// Lines of a queue file as the upload sends them: pieces of at most 1199 bytes, where the
// line ending that follows a piece filling the whole cap belongs to that piece. A longer line
// comes in several pieces; lineStart() tells whether a piece begins its line.
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
  bool lineStart() const { return lineStart_; }

 private:
  platform::LineReader reader_;
  std::optional<std::string> ahead_;
  bool lineStart_ = true;
  bool endedLine_ = true;  // the piece handed out last ended with a line feed
};

}  // namespace quelma::smtp_client
