// Command lines from a POP3 client: at most 1999 bytes, each within 15 seconds of its start.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace quelma::pop3_server {

inline constexpr std::size_t kMaxPop3Line = 1999;  // CR LF included
inline constexpr std::uint32_t kLineTimeLimitMs = 15000;

class Pop3LineReader {
 public:
  // `receive` fills a buffer and returns the byte count: 0 when the peer closed, < 0 on an
  // error or the socket's time-out.
  using Receive = std::function<long(char*, std::size_t)>;
  Pop3LineReader(Receive receive, platform::Clock& clock) : receive_(std::move(receive)), clock_(clock) {}

  // The next line with its line feed, or nothing when the connection is to end: the peer
  // closed, a receive failed, the line grew past the cap or took longer than the limit.
  // Lines that arrived together are handed out one after the other.
  std::optional<std::string> next();

 private:
  Receive receive_;
  platform::Clock& clock_;
  std::string pending_;  // received bytes not yet handed out
};

}  // namespace quelma::pop3_server
