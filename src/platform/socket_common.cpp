// Socket code common to both platforms: moves, sendAll, addresses as text.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include "platform/socket.h"

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
