// Opening the listener and accepting connections.
#include "net/listener.h"

namespace quelma::net {

ListenFailure Listener::open(platform::Ipv4Address address, std::uint16_t port, int backlog) {
  if (!platform::InitSocketLibrary()) return ListenFailure::kLibrary;
  socket_ = platform::Socket::CreateTcp();
  if (!socket_.valid()) return ListenFailure::kSocket;
  if (!socket_.bind(address, port)) return ListenFailure::kBind;
  if (!socket_.listen(backlog)) return ListenFailure::kListen;
  return ListenFailure::kNone;
}

std::optional<PlainStream> Listener::accept() {
  platform::Socket client = socket_.accept();
  if (!client.valid()) return std::nullopt;
  return PlainStream(std::move(client));
}

}  // namespace quelma::net
