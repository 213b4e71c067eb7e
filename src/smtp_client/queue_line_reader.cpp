// The queue file's line reader: a stored long line (a 1199-byte piece, then CR LF) comes
// back as one line, not as the piece and an empty line.
#include "smtp_client/queue_line_reader.h"

namespace quelma::smtp_client {

bool QueueLineReader::next(std::string& line) {
  if (ahead_) {
    line = std::move(*ahead_);
    ahead_.reset();
  } else if (!reader_.next(line)) {
    return false;
  }
  lineStart_ = endedLine_;
  endedLine_ = line.back() == '\n';
  if (line.size() < spool::kMaxQueueLine || line.back() == '\n') return true;
  std::string following;
  if (!reader_.next(following)) return true;
  if (following == "\n" || (following == "\r\n" && line.back() != '\r')) {
    line += following;
    endedLine_ = true;
  } else {
    ahead_ = std::move(following);
  }
  return true;
}

}  // namespace quelma::smtp_client
