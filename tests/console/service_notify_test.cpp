// The service manager's datagram: what arrives at a socket named by NOTIFY_SOCKET (a path or the
// abstract namespace), and nothing sent without a usable socket name.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console/service_notify.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

// A datagram socket bound to `name` ("@..." abstract) that NOTIFY_SOCKET names while it lives.
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& name) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~ManagerSocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
  }
  bool bound() const { return bound_; }
  std::string receive() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    return n < 0 ? "<nothing>" : buffer.substr(0, static_cast<std::size_t>(n));
  }

 private:
  int fd_;
  bool bound_ = false;
};

TEST(ServiceNotify, TheStateArrivesWholeAtAPathAndAtAnAbstractName) {
  testing::TempDir dir;
  const std::string names[] = {dir.file("notify"), "@quelma-notify-test-" + std::to_string(::getpid())};
  for (const std::string& name : names) {
    ManagerSocket manager(name);
    ASSERT_TRUE(manager.bound()) << name;
    EXPECT_TRUE(NotifyServiceManager("READY=1\nSTATUS=POP3: 110")) << name;
    EXPECT_EQ(manager.receive(), "READY=1\nSTATUS=POP3: 110") << name;
  }
}

TEST(ServiceNotify, NothingIsSentWithoutAUsableSocketName) {
  testing::TempDir dir;
  const char* names[] = {nullptr, "", "relative/notify", "@", "/no/such/directory/notify"};
  for (const char* name : names) {
    if (name == nullptr) {
      ::unsetenv("NOTIFY_SOCKET");
    } else {
      ::setenv("NOTIFY_SOCKET", name, 1);
    }
    EXPECT_FALSE(NotifyServiceManager("READY=1")) << (name ? name : "(unset)");
  }
  ::setenv("NOTIFY_SOCKET", ("/" + std::string(200, 'x')).c_str(), 1);  // longer than a socket name
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
  ::unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceNotify, ReloadingCarriesTheMonotonicClock) {
  const std::string state = ReloadingState();
  ASSERT_EQ(state.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << state;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long stated = std::strtoull(state.c_str() + state.find('=', 12) + 1, nullptr, 10);
  EXPECT_GT(stated, 0u);
  EXPECT_LE(stated / 1000000ULL, static_cast<unsigned long long>(now.tv_sec));
}

}  // namespace
}  // namespace quelma::app
