// fgets-like piece reading over any byte source, with a fixed read-ahead buffer.
#include "platform/line_reader.h"

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
    const char c = buffer_[begin_++];
    piece.push_back(c);
    if (c == '\n') break;
  }
  return !piece.empty();
}

bool EndsWithCrLf(const std::string& piece) {
  return piece.size() >= 2 && piece[piece.size() - 2] == '\r' && piece.back() == '\n';
}

}  // namespace quelma::platform
