// Framing received bytes into command lines under both limits.
#include "pop3_server/pop3_line_reader.h"

#include <array>

namespace quelma::pop3_server {

std::optional<std::string> Pop3LineReader::next() {
  const std::uint32_t started = clock_.tickCount();
  std::array<char, 2000> buffer{};
  for (;;) {
    const auto lineFeed = pending_.find('\n');
    if (lineFeed != std::string::npos) {
      if (lineFeed + 1 > kMaxPop3Line) return std::nullopt;
      std::string line = pending_.substr(0, lineFeed + 1);
      pending_.erase(0, lineFeed + 1);
      return line;
    }
    if (pending_.size() >= kMaxPop3Line) return std::nullopt;
    const std::uint32_t now = clock_.tickCount();
    if (now < started || now - started > kLineTimeLimitMs) return std::nullopt;
    const long n = receive_(buffer.data(), buffer.size());
    if (n <= 0) return std::nullopt;
    pending_.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace quelma::pop3_server
