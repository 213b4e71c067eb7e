// A port of 127.0.0.1 that nothing listens on: bound for a moment, then closed.
#pragma once

#include <cstdint>

#include "net/listener.h"

namespace quelma::testing {

inline std::uint16_t FreeLoopbackPort() {
  net::Listener probe;
  probe.open(platform::kLoopbackAddress, 0, 1);
  return probe.localPort().value_or(0);
}

}  // namespace quelma::testing
