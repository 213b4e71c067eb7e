// Undoing the transfer form of downloaded messages, a line at a time over a large buffer.
#include "spool/download_text.h"

#include <algorithm>
#include <cstring>

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
  bool inHeader = true;
  auto emit = [&](std::string_view bytes) {
    if (inHeader && header_.size() < kMaxHeader) header_ += bytes;
    return !take || take(bytes);
  };
  for (;;) {
    // A line's start: the end line, or a dot that was doubled for the transfer.
    fill(3);
    if (begin_ == end_) return Next::kMessage;  // cut short after a whole line
    const std::string_view ahead(buffer_.data() + begin_, std::min<std::size_t>(3, end_ - begin_));
    if (ahead.starts_with(".\n") || ahead == ".\r\n") {
      begin_ += ahead[1] == '\n' ? 2 : 3;
      return Next::kMessage;
    }
    if (ahead.starts_with("..")) ++begin_;
    if (buffer_[begin_] == '\r' || buffer_[begin_] == '\n') inHeader = false;
    // The rest of the line, over as many buffers as it takes; a line feed without its
    // carriage return gets one.
    bool crBefore = false;
    for (;;) {
      if (begin_ == end_ && !fill(1)) return Next::kMessage;  // cut short inside a line
      const char* start = buffer_.data() + begin_;
      const std::size_t span = end_ - begin_;
      const void* lineFeed = std::memchr(start, '\n', span);
      const std::size_t before = lineFeed ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) : span;
      const std::string_view text(start, before);
      if (!lineFeed) {
        if (!emit(text)) return Next::kFailed;
        crBefore = text.back() == '\r';
        begin_ += before;
        continue;
      }
      const bool crLf = before > 0 ? text.back() == '\r' : crBefore;
      if (crLf ? !emit(std::string_view(start, before + 1)) : !(emit(text) && emit("\r\n"))) return Next::kFailed;
      begin_ += before + 1;
      break;
    }
  }
}

}  // namespace quelma::spool
