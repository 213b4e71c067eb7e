// A provider played without a socket: a byte stream that hands out a greeting, then answers
// each line the client sends with what the script says. For client sessions fed replies.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/byte_stream.h"

namespace quelma::testing {

class ScriptedStream final : public net::ByteStream {
 public:
  // The answer to a line the client sent: nothing = no answer yet (a data line); a text is
  // queued for the client to receive. `closeAfter` ends the stream once the queued bytes are
  // read; `failSendsFrom` makes every send from that line on fail (1 = the first line).
  using Answer = std::function<std::optional<std::string>(const std::string& line)>;

  ScriptedStream(std::string greeting, Answer answer) : incoming_(std::move(greeting)), answer_(std::move(answer)) {}

  long receive(char* buffer, std::size_t capacity) override {
    if (incoming_.empty()) return closed_ ? 0 : -1;  // nothing more will come: a time-out
    const std::size_t n = std::min({capacity, incoming_.size(), pieceSize});
    std::memcpy(buffer, incoming_.data(), n);
    incoming_.erase(0, n);
    return static_cast<long>(n);
  }

  bool sendAll(std::string_view bytes) override {
    if (failSendsFrom > 0 && lines.size() + 1 >= failSendsFrom) return false;
    sent += bytes;
    writes.emplace_back(bytes);
    for (std::size_t lf; (lf = sent.find('\n', parsed_)) != std::string::npos; parsed_ = lf + 1) {
      lines.push_back(sent.substr(parsed_, lf + 1 - parsed_));
      if (auto reply = answer_(lines.back())) incoming_ += *reply;
    }
    return true;
  }

  void wake() override {}
  void close() override { closed_ = true; }
  std::optional<platform::IpAddress> peerAddress() const override { return platform::IpAddress::V4(platform::kLoopbackAddress); }

  // The peer closes once what it queued so far is read (instead of a time-out).
  void closeWhenDrained() { closed_ = true; }

  std::string sent;                // every byte the client sent
  std::vector<std::string> lines;  // the same, line by line
  std::vector<std::string> writes;  // the same, as the client wrote it
  std::size_t pieceSize = 1 << 20;  // at most this much per receive
  std::size_t failSendsFrom = 0;

 private:
  std::string incoming_;
  Answer answer_;
  std::size_t parsed_ = 0;
  bool closed_ = false;
};

}  // namespace quelma::testing
