// Where a protocol session's replies go: the client socket, or a transcript in tests.
#pragma once

#include <string_view>

namespace quelma::platform {

class ReplySink {
 public:
  virtual ~ReplySink() = default;
  virtual bool send(std::string_view bytes) = 0;  // false: the connection is gone
};

}  // namespace quelma::platform
