// fgets-like piece reading over any byte source, with a fixed read-ahead buffer.
#include "platform/line_reader.h"

#include <algorithm>
#include <cstring>

namespace quelma::platform {

bool LineReader::fill() {
  if (exhausted_) return false;
  begin_ = 0;
  end_ = source_.read(buffer_.data(), buffer_.size());
  if (end_ == 0) exhausted_ = true;
  return end_ > 0;
}

bool LineReader::next(std::string& piece) {
  piece.clear();
  while (piece.size() < cap_) {
    if (begin_ == end_ && !fill()) break;
    const std::size_t span = std::min(end_ - begin_, cap_ - piece.size());
    const char* start = buffer_.data() + begin_;
    const void* lineFeed = std::memchr(start, '\n', span);
    const std::size_t take = lineFeed ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) + 1 : span;
    piece.append(start, take);
    begin_ += take;
    if (lineFeed) break;
  }
  return !piece.empty();
}

bool EndsWithCrLf(const std::string& piece) {
  return piece.size() >= 2 && piece[piece.size() - 2] == '\r' && piece.back() == '\n';
}

}  // namespace quelma::platform
