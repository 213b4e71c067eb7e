// Undoing the transfer form of downloaded messages, a line at a time over a large buffer.
#include "spool/download_text.h"

#include <cstring>

#include "net/transfer_form.h"

namespace quelma::spool {

// Keeps what is unread and reads until `want` bytes are there or the source has ended.
bool DownloadedText::fill(std::size_t want) {
  if (end_ - begin_ >= want) return true;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < want && !exhausted_) {
    const std::size_t n = source_.read(buffer_.data() + end_, buffer_.size() - end_);
    if (n == 0) {
      exhausted_ = true;
      break;
    }
    end_ += n;
    offset_ += n;
  }
  return end_ >= want;
}

bool DownloadedText::atEnd() { return !fill(1); }

DownloadedText::Next DownloadedText::next(const Take& take) {
  header_.clear();
  if (!fill(1)) return Next::kEnd;
  // An end line without its CR ends a message too.
  net::DotUnstuffer reader(net::DotUnstuffer::Rules{true});
  bool inHeader = true;
  bool lineStart = true;
  bool failed = false;
  // The text comes in runs of whole lines and pieces of lines; the header ends before the
  // first line that begins with its line end.
  const auto emit = [&](std::string_view bytes) {
    if (failed) return;
    if (inHeader) {
      std::size_t header = bytes.size();
      for (std::size_t at = 0; at < bytes.size();) {
        if ((at > 0 || lineStart) && (bytes[at] == '\r' || bytes[at] == '\n')) {
          header = at;
          inHeader = false;
          break;
        }
        at = bytes.find('\n', at);
        if (at != std::string_view::npos) ++at;
      }
      if (header_.size() < kMaxHeader) header_ += bytes.substr(0, header);
    }
    lineStart = bytes.back() == '\n';
    failed = take && !take(bytes);
  };
  while (!reader.ended() && !failed) {
    if (begin_ == end_ && !fill(1)) {
      reader.finish(emit);  // cut short: what came counts as the whole message
      break;
    }
    begin_ += reader.add(std::string_view(buffer_.data() + begin_, end_ - begin_), emit);
  }
  return failed ? Next::kFailed : Next::kMessage;
}

}  // namespace quelma::spool
