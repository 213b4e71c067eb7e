// The byte side of the provider session: one TCP connection with buffered sending and the
// reply reader. Every failure throws UploadError with the number the caller gave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace quelma::smtp_client {

inline constexpr std::size_t kMaxReplyLine = 519;   // bytes of a reply line that are kept
inline constexpr std::size_t kMaxReplyText = 1199;  // bytes of a whole reply that are kept

class ProviderConnection {
 public:
  // Socket (error 3), send and receive time-outs (4, 5) and connect (6).
  void open(platform::Ipv4Address address, std::uint16_t port, std::uint32_t timeoutMs);
  bool isOpen() const { return socket_.valid(); }
  void close();

  // Queues bytes; they go out when the buffer fills or before the next reply is read. A
  // failed transfer reports the number of the send whose bytes were queued last.
  void send(std::string_view bytes, int error);
  void flush();

  // Sends what is queued, then reads one reply, multi-line replies whole. Lines shorter than
  // five bytes end it unkept; only the lines that fit into kMaxReplyText bytes are kept, the
  // rest of the reply is read and dropped, so the next reply starts on its own first line.
  const std::string& readReply(int error);
  const std::string& reply() const { return reply_; }

 private:
  std::string readLine(int error);
  char readByte(int error);

  platform::Socket socket_;
  std::string out_;
  int outError_ = 0;
  char in_[4096] = {};
  std::size_t inBegin_ = 0;
  std::size_t inEnd_ = 0;
  std::string reply_;
};

}  // namespace quelma::smtp_client
