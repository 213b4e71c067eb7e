// A listening TCP socket of a local server: opened step by step, accepting plain streams.
#pragma once

#include <cstdint>
#include <optional>

#include "net/plain_stream.h"
#include "platform/socket.h"

namespace quelma::net {

// The step of opening a listener that failed (the servers log their numbers).
enum class ListenFailure { kNone, kLibrary, kSocket, kBind, kListen };

class Listener {
 public:
  ListenFailure open(platform::Ipv4Address address, std::uint16_t port, int backlog);
  // The next connection, or nothing after a wake-up or a passing fault.
  std::optional<PlainStream> accept();
  std::optional<std::uint16_t> localPort() const { return socket_.localPort(); }
  // From another thread: ends a blocked accept.
  void wake() { socket_.wake(); }
  void close() { socket_.close(); }

 private:
  platform::Socket socket_;
};

}  // namespace quelma::net
