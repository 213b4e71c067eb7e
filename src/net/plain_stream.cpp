// The client's TCP connect, step by step.
#include "net/plain_stream.h"

namespace quelma::net {

ConnectFailure ConnectTcp(const platform::IpAddress& address, std::uint16_t port, std::uint32_t timeoutMs,
                          PlainStream& stream) {
  platform::Socket socket = platform::Socket::CreateTcp(address.v6);
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
  std::vector<platform::IpAddress> addresses;
  if (const auto dotted = platform::ParseDottedAddress(server)) {
    addresses.push_back(platform::IpAddress::V4(*dotted));
  } else if (const auto literal = platform::ParseIpAddress(server)) {
    addresses.push_back(*literal);
  }
  if (!addresses.empty()) {
    log("Определение адреса не требуется\r\n");
  } else {
    log("Определяю IP адрес сервера \"" + server + "\"\r\n");
    addresses = platform::ResolveHostAddresses(server);
    if (addresses.empty()) return ConnectFailure::kResolve;
    log("Определен адрес: " + addresses.front().toString() + "\r\n");
  }
  return ConnectToAny(addresses, port, timeoutMs, stream, log);
}

ConnectFailure ConnectToAny(const std::vector<platform::IpAddress>& addresses, std::uint16_t port,
                            std::uint32_t timeoutMs, PlainStream& stream,
                            const std::function<void(const std::string&)>& log) {
  ConnectFailure failure = ConnectFailure::kConnect;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (i > 0) log("Пробую следующий адрес сервера: " + addresses[i].toString() + "\r\n");
    failure = ConnectTcp(addresses[i], port, timeoutMs, stream);
    if (failure == ConnectFailure::kNone) break;
  }
  return failure;
}

}  // namespace quelma::net
