// Buffered reading of reply lines and raw text from a byte stream.
#include "net/line_receiver.h"

namespace quelma::net {

bool LineReceiver::receiveMore() {
  const long n = stream_->receive(buffer_.data(), buffer_.size());
  if (n <= 0) return false;
  pending_.append(buffer_.data(), static_cast<std::size_t>(n));
  return true;
}

LineReceiver::Status LineReceiver::readLine(std::string& line, std::size_t keep) {
  line.clear();
  bool any = false;
  for (;;) {
    const std::size_t lineFeed = pending_.find('\n');
    const std::size_t take = lineFeed == std::string::npos ? pending_.size() : lineFeed + 1;
    any = any || take > 0;
    const std::size_t room = keep > 0 && line.size() < keep - 1 ? keep - 1 - line.size() : 0;
    line.append(pending_, 0, std::min(room, take));
    pending_.erase(0, take);
    if (lineFeed != std::string::npos) {
      if (line.size() == keep - 1 && !line.ends_with('\n')) line.push_back('\n');
      return Status::kLine;
    }
    if (!receiveMore()) return any ? Status::kCut : Status::kNothing;
  }
}

bool LineReceiver::readSome(std::string& bytes) {
  if (pending_.empty() && !receiveMore()) return false;
  bytes.swap(pending_);
  pending_.clear();
  return true;
}

}  // namespace quelma::net
