// TCP sockets over IPv4 and IPv6: RAII, millisecond time-outs, errors as Winsock numbers on
// both platforms.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelma::platform {

// Starts the socket library once per process (WSAStartup 1.1 on Windows; nothing on POSIX).
bool InitSocketLibrary();

// The last socket error of the calling thread, as a Winsock number (10060 = time-out, ...);
// 0 when the last call succeeded.
int LastSocketError();
inline constexpr int kTimedOutError = 10060;  // WSAETIMEDOUT: a receive or send ran out of time

#ifndef _WIN32
// An errno value as the Winsock number that means the same (ETIMEDOUT -> 10060, ...).
int WinsockErrorFromErrno(int error);
#endif

// Whether ports below 1024 open only for a privileged program (root, or CAP_NET_BIND_SERVICE as
// systemd gives the service); Windows has no such ports.
#ifdef _WIN32
inline constexpr bool kLowPortsArePrivileged = false;
#else
inline constexpr bool kLowPortsArePrivileged = true;
#endif

struct Ipv4Address {
  std::uint32_t hostOrder = 0;  // 127.0.0.1 is 0x7F000001
  std::string toString() const;
};

inline constexpr Ipv4Address kAnyAddress{0};
inline constexpr Ipv4Address kLoopbackAddress{0x7F000001u};

// An IPv4 or IPv6 address as bytes (IPv4 in the first four).
struct IpAddress {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};
  static IpAddress V4(Ipv4Address address);
  static IpAddress AnyV6() { return IpAddress{true, {}}; }
  std::string toString() const;  // "192.168.1.5", "fe80::1"
  bool operator==(const IpAddress&) const = default;
};

// An address in its text form ("192.168.1.5", "fe80::1"), read by the system (inet_pton).
std::optional<IpAddress> ParseIpAddress(const std::string& text);

// Every address of the host name, IPv4 and IPv6, in the order the resolver gives them (an
// address written as such is itself); empty when the name is not found (see LastSocketError).
std::vector<IpAddress> ResolveHostAddresses(const std::string& name);

// "a.b.c.d" with four decimal parts 0 to 255; nothing for any other text.
std::optional<Ipv4Address> ParseDottedAddress(std::string_view text);

class Socket {
 public:
  Socket() = default;
  static Socket CreateTcp(bool v6 = false);  // invalid on failure (see LastSocketError)
  static Socket CreateUdp();                  // IPv4; invalid on failure
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  bool valid() const { return handle_ != kInvalid; }
  void close();

  bool setSendTimeout(std::uint32_t milliseconds);
  bool setReceiveTimeout(std::uint32_t milliseconds);
  // Every write goes out at once (TCP_NODELAY). Our writes are whole lines or large blocks;
  // without it the last small piece of a message waits for the peer's delayed acknowledgement.
  bool setNoDelay();
  // An IPv6 socket bound here takes IPv6 connections only (the IPv4 ones have their own).
  bool bind(const IpAddress& address, std::uint16_t port);
  bool bind(Ipv4Address address, std::uint16_t port) { return bind(IpAddress::V4(address), port); }
  bool listen(int backlog);
  Socket accept();  // invalid on failure
  bool connect(const IpAddress& address, std::uint16_t port);
  bool connect(Ipv4Address address, std::uint16_t port) { return connect(IpAddress::V4(address), port); }

  // Bytes sent or received, or -1 on error (a time-out included); 0 from receive means the
  // peer closed the connection.
  long send(const char* data, std::size_t length);
  long receive(char* buffer, std::size_t capacity);
  bool sendAll(std::string_view data);

  // Which of `sockets` has a connection to accept (or data to read): its index; -1 when none
  // has within `timeoutMs`, or on an error (a socket woken or closed meanwhile).
  static int WaitReadable(const std::vector<const Socket*>& sockets, std::uint32_t timeoutMs);

  std::optional<IpAddress> peerAddress() const;
  // The address of this end (for an accepted connection: the one the client connected to).
  std::optional<IpAddress> localAddress() const;
  std::optional<std::uint16_t> localPort() const;

  // Wakes a call blocked in accept or receive on this socket from another thread (shutdown
  // on POSIX; on Windows the handle is taken over and closed, which is what ends accept).
  void wake();

 private:
  static constexpr std::intptr_t kInvalid = -1;
  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle() const { return handle_.load(); }
  std::atomic<std::intptr_t> handle_{kInvalid};
};

}  // namespace quelma::platform
