// Framing received bytes into command lines and text pieces.
#include "net/protocol_line_reader.h"

#include <algorithm>

namespace quelma::net {

bool ProtocolLineReader::receiveMore() {
  if (consumed_ > 0) {
    pending_.erase(0, consumed_);
    consumed_ = 0;
  }
  const long n = receive_(buffer_.data(), buffer_.size());
  if (n <= 0) return false;
  pending_.append(buffer_.data(), static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> ProtocolLineReader::nextLine() {
  const std::uint32_t started = clock_.tickCount();
  for (;;) {
    const auto lineFeed = pending_.find('\n', consumed_);
    if (lineFeed != std::string::npos) {
      const std::size_t length = lineFeed + 1 - consumed_;
      if (length > maxLine_) return std::nullopt;
      std::string line = pending_.substr(consumed_, length);
      consumed_ += length;
      return line;
    }
    if (pending_.size() - consumed_ >= maxLine_) return std::nullopt;
    const std::uint32_t now = clock_.tickCount();
    if (now < started || now - started > kLineTimeLimitMs) return std::nullopt;
    if (!receiveMore()) return std::nullopt;
  }
}

std::optional<std::string> ProtocolLineReader::nextPiece(std::size_t cap) {
  for (;;) {
    const std::size_t available = pending_.size() - consumed_;
    const auto lineFeed = pending_.find('\n', consumed_);
    if (lineFeed != std::string::npos || available >= cap) {
      const std::size_t length = lineFeed != std::string::npos ? std::min(lineFeed + 1 - consumed_, cap) : cap;
      std::string piece = pending_.substr(consumed_, length);
      consumed_ += length;
      return piece;
    }
    if (!receiveMore()) return std::nullopt;
  }
}

}  // namespace quelma::net
