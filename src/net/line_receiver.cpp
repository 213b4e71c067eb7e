// Buffered reading of reply lines and raw text from a byte stream, out of one buffer.
#include "net/line_receiver.h"

#include <algorithm>
#include <cstring>

namespace quelma::net {

// Receives after what is unread; the unread bytes move to the front first when little room
// is left behind them.
bool LineReceiver::receiveMore() {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ > 0 && buffer_.size() - end_ < buffer_.size() / 2) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) return false;  // never: a read takes bytes before it receives more
  const long n = stream_->receive(buffer_.data() + end_, buffer_.size() - end_);
  if (n <= 0) return false;
  end_ += static_cast<std::size_t>(n);
  return true;
}

LineReceiver::Status LineReceiver::readLine(std::string& line, std::size_t keep) {
  line.clear();
  bool any = false;
  for (;;) {
    const std::string_view unread(buffer_.data() + begin_, end_ - begin_);
    const std::size_t lineFeed = unread.find('\n');
    const std::size_t take = lineFeed == std::string_view::npos ? unread.size() : lineFeed + 1;
    any = any || take > 0;
    const std::size_t room = keep > 0 && line.size() < keep - 1 ? keep - 1 - line.size() : 0;
    line.append(unread.substr(0, std::min(room, take)));
    begin_ += take;
    if (lineFeed != std::string_view::npos) {
      if (line.size() == keep - 1 && !line.ends_with('\n')) line.push_back('\n');
      return Status::kLine;
    }
    if (!receiveMore()) return any ? Status::kCut : Status::kNothing;
  }
}

bool LineReceiver::peek(std::string_view& bytes) {
  if (begin_ == end_ && !receiveMore()) return false;
  bytes = std::string_view(buffer_.data() + begin_, end_ - begin_);
  return true;
}

bool LineReceiver::readSome(std::string& bytes) {
  std::string_view unread;
  if (!peek(unread)) return false;
  bytes.assign(unread);
  consume(unread.size());
  return true;
}

}  // namespace quelma::net
