// The byte stream every protocol end reads and writes through: a plain TCP connection, and
// whatever secure stream is laid over one. Time-outs and errors are the socket's.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/socket.h"

namespace quelma::net {

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // Up to `capacity` bytes into `buffer`: the count, 0 when the peer closed, -1 on an error
  // or the receive time-out.
  virtual long receive(char* buffer, std::size_t capacity) = 0;
  // Every byte of `bytes`; false when the connection failed part-way.
  virtual bool sendAll(std::string_view bytes) = 0;
  // From another thread: ends a receive that is blocked on this stream.
  virtual void wake() = 0;
  virtual void close() = 0;
  virtual std::optional<platform::IpAddress> peerAddress() const = 0;

  // For a wait on the connection beside other things (IMAP's IDLE): the socket underneath,
  // nothing when there is none to wait on; and whether this stream holds received bytes that
  // no wait on the socket would show (decrypted, inflated), so a receive needs no wait.
  virtual const platform::Socket* socketBeneath() const { return nullptr; }
  virtual bool holdsInput() const { return false; }
};

}  // namespace quelma::net
