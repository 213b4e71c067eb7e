// A Unix socket named relative to the program directory (its full path may be longer than a
// socket's name can be), made by the program that holds the instance lock: a socket left by an
// earlier one is removed first.
#include "app/console/control_door.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace quelma::app {
namespace {

constexpr char kDoorName[] = "quelma.ctl";
constexpr std::size_t kLongestRequest = 8192;

sockaddr_un DoorAddress() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, kDoorName, sizeof kDoorName);
  return address;
}

bool SendAll(int fd, const std::string& text) {
  for (std::size_t sent = 0; sent < text.size();) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// One line, the end of line left out, and the descriptor sent with it (or -1); nothing when
// the peer goes first or the line is too long.
std::optional<std::string> ReceiveRequest(int fd, int& handed) {
  handed = -1;
  std::string line;
  while (line.size() <= kLongestRequest) {
    char piece[512];
    iovec data{piece, sizeof piece};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && handed < 0) std::memcpy(&handed, CMSG_DATA(c), sizeof handed);
    }
    line.append(piece, static_cast<std::size_t>(n));
    if (const std::size_t end = line.find('\n'); end != std::string::npos) return line.substr(0, end);
  }
  if (handed >= 0) ::close(handed);
  handed = -1;
  return std::nullopt;
}

void Serve(int door, const std::function<std::string(const std::string&, int)>& answer) {
  for (;;) {
    const int peer = ::accept(door, nullptr, nullptr);
    if (peer < 0) {
      if (errno != EINTR) ::usleep(100000);
      continue;
    }
    // A peer that never sends its line does not hold the door for long.
    const timeval patience{10, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    int handed = -1;
    if (const auto request = ReceiveRequest(peer, handed)) SendAll(peer, answer(*request, handed));
    ::close(peer);
  }
}

}  // namespace

bool OpenControlDoor(std::function<std::string(const std::string& request, int handedFile)> answer) {
  const int door = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (door < 0) return false;
  ::unlink(kDoorName);
  const sockaddr_un address = DoorAddress();
  if (::bind(door, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(door, 4) != 0) {
    ::close(door);
    return false;
  }
  std::thread([door, answer = std::move(answer)] { Serve(door, answer); }).detach();
  return true;
}

std::optional<std::string> AskRunningProgram(const std::string& request, int handFile, std::string& problem) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = DoorAddress();
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    problem = std::string("the running quelma does not answer on ") + kDoorName + " (" + std::strerror(errno) + ")";
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  // The file goes with the line's first byte; the rest of the line after it.
  std::string line = request + "\n";
  iovec data{line.data(), 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (handFile >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &handFile, sizeof handFile);
  }
  if (::sendmsg(fd, &message, MSG_NOSIGNAL) != 1 || !SendAll(fd, line.substr(1))) {
    problem = std::string("cannot send to the running quelma (") + std::strerror(errno) + ")";
    ::close(fd);
    return std::nullopt;
  }
  std::string reply;
  char piece[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply.append(piece, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (reply.empty()) {
    problem = "the running quelma ended the request without an answer";
    return std::nullopt;
  }
  return reply;
}

}  // namespace quelma::app
