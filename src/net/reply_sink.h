// Where a protocol session's replies go: the client socket, or a transcript in tests.
#pragma once

#include <string_view>

#include "platform/socket.h"

namespace quelma::net {

class ReplySink {
 public:
  virtual ~ReplySink() = default;
  virtual bool send(std::string_view bytes) = 0;  // false: the connection is gone
};

// Replies straight onto a connected socket, each as one send.
class SocketSink final : public ReplySink {
 public:
  explicit SocketSink(platform::Socket& socket) : socket_(socket) {}
  bool send(std::string_view bytes) override { return socket_.sendAll(bytes); }

 private:
  platform::Socket& socket_;
};

}  // namespace quelma::net
