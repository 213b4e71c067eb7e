// The client's TCP connect, step by step.
#include "net/plain_stream.h"

namespace quelma::net {

ConnectFailure ConnectTcp(platform::Ipv4Address address, std::uint16_t port, std::uint32_t timeoutMs,
                          PlainStream& stream) {
  platform::Socket socket = platform::Socket::CreateTcp();
  if (!socket.valid()) return ConnectFailure::kSocket;
  if (!socket.setSendTimeout(timeoutMs)) return ConnectFailure::kSendTimeout;
  if (!socket.setReceiveTimeout(timeoutMs)) return ConnectFailure::kReceiveTimeout;
  if (!socket.connect(address, port)) return ConnectFailure::kConnect;
  stream = PlainStream(std::move(socket));
  return ConnectFailure::kNone;
}

}  // namespace quelma::net
