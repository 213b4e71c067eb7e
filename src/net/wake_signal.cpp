// The loopback datagram that wakes a wait.
#include "net/wake_signal.h"

#include <optional>

namespace quelma::net {

bool WakeSignal::open() {
  platform::Socket signal = platform::Socket::CreateUdp();
  if (!signal.valid() || !signal.bind(platform::kLoopbackAddress, 0)) return false;
  const std::optional<std::uint16_t> port = signal.localPort();
  if (!port || !signal.connect(platform::kLoopbackAddress, *port)) return false;
  socket_ = std::move(signal);
  return true;
}

bool WakeSignal::raise() { return socket_.valid() && socket_.send("!", 1) == 1; }

void WakeSignal::clear() {
  char wakeUps[64];
  while (socket_.valid() && platform::Socket::WaitReadable({&socket_}, 0) == 0 &&
         socket_.receive(wakeUps, sizeof wakeUps) > 0) {
  }
}

}  // namespace quelma::net
