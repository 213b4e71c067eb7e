// The service manager's notification datagram, sent by hand: one AF_UNIX datagram to the socket
// named in NOTIFY_SOCKET. Nothing else of the manager's library is needed.
#include "app/console/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quelma::app {

bool NotifyServiceManager(std::string_view state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return false;
  const std::size_t length = std::strlen(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (length < 2 || length >= sizeof(address.sun_path) || (name[0] != '/' && name[0] != '@')) return false;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // the abstract namespace
  const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), addressLength);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

std::string ReloadingState() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long micro =
      static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
  return "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(micro);
}

}  // namespace quelma::app
