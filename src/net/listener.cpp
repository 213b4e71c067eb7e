// Opening the listening sockets, accepting connections, and closing them at a stop.
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
  if (!wakeSignal_.valid()) wakeSignal_.open();  // without it, a wake-up closes the sockets instead
  return ListenFailure::kNone;
}

std::optional<PlainStream> Listener::accept(std::size_t* tag) {
  if (sockets_.empty()) return std::nullopt;
  // Waiting a second at a time, so the server looks after its sessions between connections. The
  // wake-up comes first: a stop is not held up by connections that keep arriving.
  std::vector<const platform::Socket*> all;
  if (wakeSignal_.valid()) all.push_back(&wakeSignal_.socket());
  for (const platform::Socket& socket : sockets_) all.push_back(&socket);
  const int ready = platform::Socket::WaitReadable(all, 1000);
  if (ready < 0) return std::nullopt;
  if (all[static_cast<std::size_t>(ready)] == &wakeSignal_.socket()) {
    wakeSignal_.clear();
    return std::nullopt;
  }
  const auto index = static_cast<std::size_t>(ready) - (wakeSignal_.valid() ? 1 : 0);
  platform::Socket client = sockets_[index].accept();
  if (!client.valid()) return std::nullopt;
  if (tag) *tag = tags_[index];
  return PlainStream(std::move(client));
}

std::optional<std::uint16_t> Listener::localPort(std::size_t index) const {
  return index < sockets_.size() ? sockets_[index].localPort() : std::nullopt;
}

void Listener::wake() {
  if (wakeSignal_.raise()) return;
  for (platform::Socket& socket : sockets_) socket.wake();
}

std::size_t Listener::close() {
  std::size_t queued = 0;
  for (platform::Socket& socket : sockets_) {
    // Whatever is queued now is there at once; the bound only guards against a flood.
    for (std::size_t n = 0; socket.valid() && n < 4096 && platform::Socket::WaitReadable({&socket}, 0) == 0; ++n) {
      platform::Socket client = socket.accept();
      if (!client.valid()) break;
      client.close();
      ++queued;
    }
    socket.close();
  }
  sockets_.clear();
  tags_.clear();
  wakeSignal_.close();
  return queued;
}

}  // namespace quelma::net
