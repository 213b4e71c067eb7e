// Lines from a protocol peer: a bounded command line within a time limit, or unbounded text
// in pieces. Bytes that arrive together are handed out one line after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace quelma::net {

inline constexpr std::uint32_t kLineTimeLimitMs = 15000;

class ProtocolLineReader {
 public:
  // `receive` fills a buffer and returns the byte count: 0 when the peer closed, < 0 on an
  // error or the socket's time-out.
  using Receive = std::function<long(char*, std::size_t)>;
  ProtocolLineReader(Receive receive, platform::Clock& clock, std::size_t maxLine, std::size_t receiveSize)
      : receive_(std::move(receive)), clock_(clock), maxLine_(maxLine), buffer_(receiveSize) {}

  // The next command line with its line feed, or nothing when the connection is to end: the
  // peer closed, a receive failed, the line reached more than maxLine bytes, or more than
  // 15 s passed since the line began.
  std::optional<std::string> nextLine();

  // The next piece of text: up to `cap` bytes, ending after a line feed or at the cap; no
  // time limit but the socket's. Nothing when the peer closed or a receive failed.
  std::optional<std::string> nextPiece(std::size_t cap);

 private:
  bool receiveMore();
  Receive receive_;
  platform::Clock& clock_;
  std::size_t maxLine_;
  std::vector<char> buffer_;  // one receive
  std::string pending_;  // received bytes not yet handed out
  std::size_t consumed_ = 0;
};

}  // namespace quelma::net
