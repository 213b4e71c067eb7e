// Socket code common to both platforms: moves, sendAll, addresses as text.
#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstring>

#include "platform/socket_system.h"

namespace quelma::platform {

Socket::Socket(Socket&& other) noexcept : handle_(other.handle_.exchange(kInvalid)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_.exchange(kInvalid);
  }
  return *this;
}

Socket::~Socket() { close(); }

bool Socket::sendAll(std::string_view data) {
  while (!data.empty()) {
    const long n = send(data.data(), data.size());
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string Ipv4Address::toString() const {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!out.empty()) out.push_back('.');
    out += std::to_string((hostOrder >> shift) & 0xFFu);
  }
  return out;
}

sockaddr_storage SystemAddress(const IpAddress& address, std::uint16_t port, socklen_t& length) {
  sockaddr_storage storage{};
  if (address.v6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    std::memcpy(&sa->sin6_addr, address.bytes.data(), 16);
    length = sizeof(sockaddr_in6);
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    std::memcpy(&sa->sin_addr, address.bytes.data(), 4);
    length = sizeof(sockaddr_in);
  }
  return storage;
}

IpAddress FromSystemAddress(const sockaddr_storage& storage) {
  IpAddress address;
  if (storage.ss_family == AF_INET6) {
    address.v6 = true;
    std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, 16);
  } else {
    std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, 4);
  }
  return address;
}

std::uint16_t PortOf(const sockaddr_storage& storage) {
  return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                                             : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

std::vector<IpAddress> AddressesOf(const addrinfo* found) {
  std::vector<IpAddress> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    sockaddr_storage storage{};
    std::memcpy(&storage, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof storage));
    const IpAddress address = FromSystemAddress(storage);
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
  }
  return addresses;
}

IpAddress IpAddress::V4(Ipv4Address address) {
  IpAddress ip;
  for (int i = 0; i < 4; ++i) ip.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(address.hostOrder >> (24 - 8 * i));
  return ip;
}

std::string IpAddress::toString() const {
  char text[64] = {};
  if (inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text) == nullptr) return "unknown";
  return text;
}

std::optional<IpAddress> ParseIpAddress(const std::string& text) {
  IpAddress address;
  if (inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1) return address;
  address.v6 = true;
  if (inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) return address;
  return std::nullopt;
}

std::optional<Ipv4Address> ParseDottedAddress(std::string_view text) {
  // Four decimal parts 0..255, as inet_addr takes them in practice; anything else is a name.
  std::uint32_t value = 0;
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    std::uint32_t part = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      part = part * 10 + static_cast<std::uint32_t>(text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || part > 255) return std::nullopt;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
  }
  if (i != text.size()) return std::nullopt;
  return Ipv4Address{value};
}

}  // namespace quelma::platform
