// A reply sink that keeps everything sent, for transcripts.
#pragma once

#include <string>

#include "net/reply_sink.h"

namespace quelma::testing {

class StringSink final : public net::ReplySink {
 public:
  bool send(std::string_view bytes) override {
    text += bytes;
    return true;
  }
  std::string text;
};

}  // namespace quelma::testing
