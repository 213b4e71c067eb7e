// Winsock sockets (version 1.1 requested, as the servers expect).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/socket_system.h"

namespace quelma::platform {
namespace {

SOCKET S(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

// Kept apart from GetLastError, which every later file or window call overwrites.
thread_local int lastError = 0;

bool Succeeded(bool ok) {
  lastError = ok ? 0 : WSAGetLastError();
  return ok;
}

bool SetTimeout(std::intptr_t handle, int option, std::uint32_t milliseconds) {
  const DWORD value = milliseconds;
  return Succeeded(setsockopt(S(handle), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) == 0);
}

int Clamp(std::size_t length) { return length > 0x40000000u ? 0x40000000 : static_cast<int>(length); }

}  // namespace

bool InitSocketLibrary() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    WSADATA data{};
    ready = WSAStartup(MAKEWORD(1, 1), &data) == 0;
  });
  return ready;
}

int LastSocketError() { return lastError; }

std::vector<IpAddress> ResolveHostAddresses(const std::string& name) {
  if (auto literal = ParseIpAddress(name)) return {*literal};
  InitSocketLibrary();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    lastError = 11001;  // WSAHOST_NOT_FOUND
    return {};
  }
  std::vector<IpAddress> addresses = AddressesOf(found);
  freeaddrinfo(found);
  lastError = 0;
  return addresses;
}

Socket Socket::CreateTcp(bool v6) {
  InitSocketLibrary();
  const SOCKET s = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (!Succeeded(s != INVALID_SOCKET)) return Socket();
  return Socket(static_cast<std::intptr_t>(s));
}

Socket Socket::CreateUdp() {
  InitSocketLibrary();
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return Succeeded(s != INVALID_SOCKET) ? Socket(static_cast<std::intptr_t>(s)) : Socket();
}

void Socket::close() {
  const std::intptr_t h = handle_.exchange(kInvalid);
  if (h != kInvalid) closesocket(S(h));
}

bool Socket::setSendTimeout(std::uint32_t milliseconds) { return SetTimeout(handle(), SO_SNDTIMEO, milliseconds); }

bool Socket::setReceiveTimeout(std::uint32_t milliseconds) { return SetTimeout(handle(), SO_RCVTIMEO, milliseconds); }

bool Socket::setNoDelay() {
  const BOOL on = TRUE;
  return Succeeded(::setsockopt(S(handle()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0);
}

bool Socket::bind(const IpAddress& address, std::uint16_t port) {
  if (address.v6) {
    const DWORD one = 1;
    ::setsockopt(S(handle()), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
  }
  socklen_t length = 0;
  const sockaddr_storage sa = SystemAddress(address, port, length);
  return Succeeded(::bind(S(handle()), reinterpret_cast<const sockaddr*>(&sa), length) == 0);
}

bool Socket::listen(int backlog) { return Succeeded(::listen(S(handle()), backlog) == 0); }

Socket Socket::accept() {
  const SOCKET s = ::accept(S(handle()), nullptr, nullptr);
  if (!Succeeded(s != INVALID_SOCKET)) return Socket();
  return Socket(static_cast<std::intptr_t>(s));
}

int Socket::WaitReadable(const std::vector<const Socket*>& sockets, std::uint32_t timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  for (const Socket* socket : sockets) FD_SET(S(socket->handle()), &readable);
  timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
  if (!Succeeded(ready != SOCKET_ERROR) || ready == 0) return -1;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    if (FD_ISSET(S(sockets[i]->handle()), &readable)) return static_cast<int>(i);
  }
  return -1;
}

bool Socket::connect(const IpAddress& address, std::uint16_t port) {
  socklen_t length = 0;
  const sockaddr_storage sa = SystemAddress(address, port, length);
  return Succeeded(::connect(S(handle()), reinterpret_cast<const sockaddr*>(&sa), length) == 0);
}

long Socket::send(const char* data, std::size_t length) {
  const int n = ::send(S(handle()), data, Clamp(length), 0);
  return Succeeded(n != SOCKET_ERROR) ? n : -1;
}

long Socket::receive(char* buffer, std::size_t capacity) {
  const int n = ::recv(S(handle()), buffer, Clamp(capacity), 0);
  return Succeeded(n != SOCKET_ERROR) ? n : -1;
}

std::optional<IpAddress> Socket::peerAddress() const {
  sockaddr_storage sa{};
  int length = sizeof sa;
  if (!Succeeded(getpeername(S(handle()), reinterpret_cast<sockaddr*>(&sa), &length) == 0)) return std::nullopt;
  return FromSystemAddress(sa);
}

std::optional<IpAddress> Socket::localAddress() const {
  sockaddr_storage sa{};
  int length = sizeof sa;
  if (!Succeeded(getsockname(S(handle()), reinterpret_cast<sockaddr*>(&sa), &length) == 0)) return std::nullopt;
  return FromSystemAddress(sa);
}

std::optional<std::uint16_t> Socket::localPort() const {
  sockaddr_storage sa{};
  int length = sizeof sa;
  if (!Succeeded(getsockname(S(handle()), reinterpret_cast<sockaddr*>(&sa), &length) == 0)) return std::nullopt;
  return PortOf(sa);
}

void Socket::wake() {
  // Winsock ends a blocked accept only when its socket is closed.
  const std::intptr_t h = handle_.exchange(kInvalid);
  if (h != kInvalid) {
    shutdown(S(h), SD_BOTH);
    closesocket(S(h));
  }
}

}  // namespace quelma::platform
