// POSIX sockets behind the Winsock-shaped interface; errno is kept as a Winsock number.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/socket_system.h"

namespace quelma::platform {
namespace {

thread_local int lastError = 0;

bool Succeeded(bool ok) {
  lastError = ok ? 0 : WinsockErrorFromErrno(errno);
  return ok;
}

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

bool SetTimeout(std::intptr_t handle, int option, std::uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000u);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000u) * 1000u);
  return Succeeded(::setsockopt(Fd(handle), SOL_SOCKET, option, &tv, sizeof tv) == 0);
}

}  // namespace

bool InitSocketLibrary() { return true; }

int LastSocketError() { return lastError; }

std::vector<IpAddress> ResolveHostAddresses(const std::string& name) {
  if (auto literal = ParseIpAddress(name)) return {*literal};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    lastError = 11001;  // WSAHOST_NOT_FOUND
    return {};
  }
  std::vector<IpAddress> addresses = AddressesOf(found);
  ::freeaddrinfo(found);
  lastError = 0;
  return addresses;
}

Socket Socket::CreateTcp(bool v6) {
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (!Succeeded(fd >= 0)) return Socket();
  // A restarted server must be able to bind its port while old connections linger.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  return Socket(fd);
}

Socket Socket::CreateUdp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return Succeeded(fd >= 0) ? Socket(fd) : Socket();
}

void Socket::close() {
  const std::intptr_t h = handle_.exchange(kInvalid);
  if (h != kInvalid) ::close(Fd(h));
}

bool Socket::setSendTimeout(std::uint32_t milliseconds) { return SetTimeout(handle(), SO_SNDTIMEO, milliseconds); }

bool Socket::setReceiveTimeout(std::uint32_t milliseconds) { return SetTimeout(handle(), SO_RCVTIMEO, milliseconds); }

bool Socket::setNoDelay() {
  const int on = 1;
  return Succeeded(::setsockopt(Fd(handle()), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0);
}

bool Socket::bind(const IpAddress& address, std::uint16_t port) {
  if (address.v6) {
    const int one = 1;
    ::setsockopt(Fd(handle()), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  socklen_t length = 0;
  const sockaddr_storage sa = SystemAddress(address, port, length);
  return Succeeded(::bind(Fd(handle()), reinterpret_cast<const sockaddr*>(&sa), length) == 0);
}

bool Socket::listen(int backlog) { return Succeeded(::listen(Fd(handle()), backlog) == 0); }

Socket Socket::accept() {
  for (;;) {
    const int fd = ::accept4(Fd(handle()), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && errno == EINTR) continue;
    if (!Succeeded(fd >= 0)) return Socket();
    return Socket(fd);
  }
}

int Socket::WaitReadable(const std::vector<const Socket*>& sockets, std::uint32_t timeoutMs) {
  std::vector<pollfd> fds;
  for (const Socket* socket : sockets) fds.push_back(pollfd{Fd(socket->handle()), POLLIN, 0});
  const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeoutMs));
  if (!Succeeded(ready >= 0) || ready == 0) return -1;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents & POLLIN) return static_cast<int>(i);
  }
  return -1;  // only hang-ups: the sockets were woken
}

bool Socket::connect(const IpAddress& address, std::uint16_t port) {
  socklen_t length = 0;
  const sockaddr_storage sa = SystemAddress(address, port, length);
  if (::connect(Fd(handle()), reinterpret_cast<const sockaddr*>(&sa), length) == 0) return Succeeded(true);
  // Linux ends a blocking connect at the send time-out with EINPROGRESS: that is a time-out.
  if (errno == EINPROGRESS || errno == EALREADY) errno = ETIMEDOUT;
  return Succeeded(false);
}

long Socket::send(const char* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::send(Fd(handle()), data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    Succeeded(n >= 0);
    return static_cast<long>(n);
  }
}

long Socket::receive(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t n = ::recv(Fd(handle()), buffer, capacity, 0);
    if (n < 0 && errno == EINTR) continue;
    Succeeded(n >= 0);
    return static_cast<long>(n);
  }
}

std::optional<IpAddress> Socket::peerAddress() const {
  sockaddr_storage sa{};
  socklen_t length = sizeof sa;
  if (!Succeeded(::getpeername(Fd(handle()), reinterpret_cast<sockaddr*>(&sa), &length) == 0)) return std::nullopt;
  return FromSystemAddress(sa);
}

std::optional<IpAddress> Socket::localAddress() const {
  sockaddr_storage sa{};
  socklen_t length = sizeof sa;
  if (!Succeeded(::getsockname(Fd(handle()), reinterpret_cast<sockaddr*>(&sa), &length) == 0)) return std::nullopt;
  return FromSystemAddress(sa);
}

std::optional<std::uint16_t> Socket::localPort() const {
  sockaddr_storage sa{};
  socklen_t length = sizeof sa;
  if (!Succeeded(::getsockname(Fd(handle()), reinterpret_cast<sockaddr*>(&sa), &length) == 0)) return std::nullopt;
  return PortOf(sa);
}

void Socket::wake() {
  // On Linux close() does not end a blocked accept; shutdown() does.
  const std::intptr_t h = handle();
  if (h != kInvalid) ::shutdown(Fd(h), SHUT_RDWR);
}

}  // namespace quelma::platform
