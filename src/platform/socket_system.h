// The system's form of socket addresses, shared by both platforms' socket code (only platform
// sources include this header).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace quelma::platform {

// An address and port as the system takes them; the length to pass goes to `length`.
sockaddr_storage SystemAddress(const IpAddress& address, std::uint16_t port, socklen_t& length);
IpAddress FromSystemAddress(const sockaddr_storage& storage);
std::uint16_t PortOf(const sockaddr_storage& storage);
// The IPv4 and IPv6 addresses of a getaddrinfo answer, each once, in its order.
std::vector<IpAddress> AddressesOf(const addrinfo* found);

}  // namespace quelma::platform
