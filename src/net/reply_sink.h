// Where a protocol session's replies go: the client's stream, or a transcript in tests.
#pragma once

#include <string_view>

#include "net/byte_stream.h"

namespace quelma::net {

class ReplySink {
 public:
  virtual ~ReplySink() = default;
  virtual bool send(std::string_view bytes) = 0;  // false: the connection is gone
};

// Replies straight onto a connected stream, each as one send.
class StreamSink final : public ReplySink {
 public:
  explicit StreamSink(ByteStream& stream) : stream_(stream) {}
  bool send(std::string_view bytes) override { return stream_.sendAll(bytes); }

 private:
  ByteStream& stream_;
};

}  // namespace quelma::net
