// The byte side of the provider session: one TCP connection with buffered sending and the
// reply reader. Every failure throws UploadError with the number the caller gave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "net/reply_reader.h"

namespace quelma::smtp_client {

class ProviderConnection {
 public:
  ProviderConnection() = default;
  ProviderConnection(const ProviderConnection&) = delete;  // the reply reader points at this one
  ProviderConnection& operator=(const ProviderConnection&) = delete;

  // Socket (error 3), send and receive time-outs (4, 5) and connect (6).
  void open(platform::Ipv4Address address, std::uint16_t port, std::uint32_t timeoutMs);
  bool isOpen() const { return socket_.valid(); }
  void close();

  // Queues bytes; they go out when the buffer fills or before the next reply is read. A
  // failed transfer reports the number of the send whose bytes were queued last.
  void send(std::string_view bytes, int error);
  void flush();

  // Sends what is queued, then reads one reply (see ReplyReader).
  const std::string& readReply(int error);
  const std::string& reply() const { return reply_; }

 private:
  platform::Socket socket_;
  std::string out_;
  int outError_ = 0;
  net::ReplyReader replies_{[this](char* buffer, std::size_t capacity) { return socket_.receive(buffer, capacity); }};
  std::string reply_;
};

}  // namespace quelma::smtp_client
