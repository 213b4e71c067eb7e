// A datagram socket on 127.0.0.1 that sends itself a byte: another thread ends a wait on
// sockets (a listener's accept, an IMAP session in IDLE) without closing anything.
#pragma once

#include "platform/socket.h"

namespace quelma::net {

class WakeSignal {
 public:
  // False when the socket could not be made (the caller then wakes its wait otherwise).
  bool open();
  bool valid() const { return socket_.valid(); }
  // From any thread: the socket becomes readable.
  bool raise();
  // Takes what was raised, so the next wait waits again.
  void clear();
  const platform::Socket& socket() const { return socket_; }
  void close() { socket_.close(); }

 private:
  platform::Socket socket_;
};

}  // namespace quelma::net
