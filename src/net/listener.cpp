// Opening the listening sockets and accepting connections.
#include "net/listener.h"

namespace quelma::net {

ListenFailure Listener::open(const platform::IpAddress& address, std::uint16_t port, int backlog, std::size_t tag) {
  if (!platform::InitSocketLibrary()) return ListenFailure::kLibrary;
  platform::Socket socket = platform::Socket::CreateTcp(address.v6);
  if (!socket.valid()) return ListenFailure::kSocket;
  if (!socket.bind(address, port)) return ListenFailure::kBind;
  if (!socket.listen(backlog)) return ListenFailure::kListen;
  sockets_.push_back(std::move(socket));
  tags_.push_back(tag);
  return ListenFailure::kNone;
}

std::optional<PlainStream> Listener::accept(std::size_t* tag) {
  if (sockets_.empty()) return std::nullopt;
  // Waiting a second at a time, so the server looks after its sessions between connections; a
  // wake-up that closes a socket under the wait ends it too.
  std::vector<const platform::Socket*> all;
  for (const platform::Socket& socket : sockets_) all.push_back(&socket);
  const int ready = platform::Socket::WaitReadable(all, 1000);
  if (ready < 0 || static_cast<std::size_t>(ready) >= sockets_.size()) return std::nullopt;
  const auto index = static_cast<std::size_t>(ready);
  platform::Socket client = sockets_[index].accept();
  if (!client.valid()) return std::nullopt;
  if (tag) *tag = tags_[index];
  return PlainStream(std::move(client));
}

std::optional<std::uint16_t> Listener::localPort(std::size_t index) const {
  return index < sockets_.size() ? sockets_[index].localPort() : std::nullopt;
}

void Listener::wake() {
  for (platform::Socket& socket : sockets_) socket.wake();
}

void Listener::close() {
  for (platform::Socket& socket : sockets_) socket.close();
  sockets_.clear();
  tags_.clear();
}

}  // namespace quelma::net
