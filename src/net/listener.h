// The listening TCP sockets of a local server (its plain port, and its TLS port when one is
// set): opened step by step, accepting plain streams from whichever has a connection. A wake-up
// from another thread ends a wait for a connection without closing anything, so that at a
// stop the connections still queued can be closed one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "net/plain_stream.h"
#include "net/wake_signal.h"
#include "platform/socket.h"

namespace quelma::net {

// The step of opening a listener that failed (the servers log their numbers).
enum class ListenFailure { kNone, kLibrary, kSocket, kBind, kListen };

class Listener {
 public:
  // One more listening socket, with a tag of the caller's (say, which port it is); accept()
  // takes connections from all of them.
  ListenFailure open(const platform::IpAddress& address, std::uint16_t port, int backlog, std::size_t tag = 0);
  ListenFailure open(platform::Ipv4Address address, std::uint16_t port, int backlog, std::size_t tag = 0) {
    return open(platform::IpAddress::V4(address), port, backlog, tag);
  }
  std::size_t size() const { return sockets_.size(); }
  // The next connection, and into `tag` the tag of the socket it came to; nothing after a
  // wake-up, a passing fault or a second without one.
  std::optional<PlainStream> accept(std::size_t* tag = nullptr);
  std::optional<std::uint16_t> localPort(std::size_t index = 0) const;
  // From another thread: ends a blocked accept (and the next one, if none is blocked now).
  void wake();
  // Accepts and closes every connection still queued (its client sees an orderly close, not a
  // reset, or nothing where the system keeps it waiting), then closes the listening sockets.
  // How many were queued.
  std::size_t close();

 private:
  std::vector<platform::Socket> sockets_;
  std::vector<std::size_t> tags_;
  WakeSignal wakeSignal_;  // wakes the wait in accept()
};

}  // namespace quelma::net
