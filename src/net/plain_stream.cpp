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
  socket.setNoDelay();  // only speed depends on it
  stream = PlainStream(std::move(socket));
  return ConnectFailure::kNone;
}

ConnectFailure ConnectToServer(const std::string& server, std::uint16_t port, std::uint32_t timeoutMs,
                               PlainStream& stream, const std::function<void(const std::string&)>& log) {
  if (!platform::InitSocketLibrary()) return ConnectFailure::kLibrary;
  std::optional<platform::Ipv4Address> address = platform::ParseDottedAddress(server);
  if (address) {
    log("Определение адреса не требуется\r\n");
  } else {
    log("Определяю IP адрес сервера \"" + server + "\"\r\n");
    address = platform::ResolveHost(server);
    if (!address) return ConnectFailure::kResolve;
    log("Определен адрес: " + address->toString() + "\r\n");
  }
  return ConnectTcp(*address, port, timeoutMs, stream);
}

}  // namespace quelma::net
