// A plain TCP connection as a byte stream: the connected socket of a client or of an
// accepted peer, and the client's connect with its numbered steps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/byte_stream.h"
#include "platform/socket.h"

namespace quelma::net {

class PlainStream final : public ByteStream {
 public:
  PlainStream() = default;
  explicit PlainStream(platform::Socket socket) : socket_(std::move(socket)) {}

  long receive(char* buffer, std::size_t capacity) override { return socket_.receive(buffer, capacity); }
  bool sendAll(std::string_view bytes) override { return socket_.sendAll(bytes); }
  void wake() override { socket_.wake(); }
  void close() override { socket_.close(); }
  std::optional<platform::IpAddress> peerAddress() const override { return socket_.peerAddress(); }
  const platform::Socket* socketBeneath() const override { return &socket_; }

  // The address the client connected to (on an accepted connection).
  std::optional<platform::IpAddress> localAddress() const { return socket_.localAddress(); }
  bool isOpen() const { return socket_.valid(); }
  bool setSendTimeout(std::uint32_t milliseconds) { return socket_.setSendTimeout(milliseconds); }
  bool setReceiveTimeout(std::uint32_t milliseconds) { return socket_.setReceiveTimeout(milliseconds); }
  bool setNoDelay() { return socket_.setNoDelay(); }

 private:
  platform::Socket socket_;
};

// The step of a connect that failed; each client gives them its own error numbers.
enum class ConnectFailure { kNone, kLibrary, kResolve, kSocket, kSendTimeout, kReceiveTimeout, kConnect };

// A new socket with both time-outs set, connected to `address`:`port`, into `stream`.
ConnectFailure ConnectTcp(const platform::IpAddress& address, std::uint16_t port, std::uint32_t timeoutMs,
                          PlainStream& stream);

// The provider's server by name or address: the socket library, the addresses (looked up
// unless one is written, each step told in the clients' log lines through `log`), then
// ConnectTcp to each address in turn until one answers (a name may give IPv6 addresses first
// that this network cannot reach).
ConnectFailure ConnectToServer(const std::string& server, std::uint16_t port, std::uint32_t timeoutMs,
                               PlainStream& stream, const std::function<void(const std::string&)>& log);

// ConnectTcp to each address in turn until one answers; the last one's failure otherwise.
ConnectFailure ConnectToAny(const std::vector<platform::IpAddress>& addresses, std::uint16_t port,
                            std::uint32_t timeoutMs, PlainStream& stream,
                            const std::function<void(const std::string&)>& log);

}  // namespace quelma::net
