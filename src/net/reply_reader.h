// The provider's replies, read line by line from what the connection receives: multi-line
// replies whole, each line and the whole reply kept only up to their limits.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "net/line_limits.h"

namespace quelma::net {

inline constexpr std::size_t kMaxReplyLine = 519;   // bytes of a reply line that are kept
inline constexpr std::size_t kMaxReplyText = kMaxSmtpLine;  // bytes of a whole reply that are kept

class ReplyReader {
 public:
  // `receive` works like recv: bytes received, 0 when the peer closed, negative on error.
  using Receive = std::function<long(char* buffer, std::size_t capacity)>;
  explicit ReplyReader(Receive receive) : receive_(std::move(receive)) {}

  // One reply into `reply`. A line shorter than five bytes ends it unkept; lines that no
  // longer fit into kMaxReplyText are read and dropped, so the next reply starts on its own
  // first line. False when the connection failed, ended, or sent a line without end.
  bool read(std::string& reply);
  void clear() { begin_ = end_ = 0; }  // a new connection

 private:
  bool readLine(std::string& line);
  Receive receive_;
  char buffer_[4096] = {};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace quelma::net
