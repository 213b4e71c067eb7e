// Replies of a peer read from a byte stream: whole lines, or the bytes as they come. Each
// receive asks for up to the given size; bytes beyond what a read hands out wait for the next.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "net/byte_stream.h"

namespace quelma::net {

class LineReceiver {
 public:
  LineReceiver(ByteStream& stream, std::size_t receiveSize) : stream_(&stream), buffer_(receiveSize) {}

  // Reads from `stream` from now on (TLS laid over the old one). Whatever was received and not
  // yet handed out is dropped: bytes sent before the handshake are never taken for what came
  // through it. Returns how many bytes were dropped.
  std::size_t restart(ByteStream& stream) {
    stream_ = &stream;
    const std::size_t dropped = pending_.size();
    pending_.clear();
    return dropped;
  }

  enum class Status {
    kLine,     // `line` holds the line, its line feed included
    kNothing,  // the connection failed or closed before any byte of the line
    kCut,      // it failed or closed part-way through the line
  };
  // The next line. Of a line longer than `keep` bytes the first keep - 1 are kept and then
  // its line feed; the rest is read and dropped.
  Status readLine(std::string& line, std::size_t keep);

  // The bytes already received and not handed out, or else those of one receive; false when
  // the connection failed or closed.
  bool readSome(std::string& bytes);
  // Whether bytes wait that were received and not yet handed out (a wait on the socket would
  // not show them).
  bool holdsInput() const { return !pending_.empty(); }
  // Bytes handed out that belong to what comes next: they are handed out again first.
  void putBack(std::string_view bytes) { pending_.insert(0, bytes); }

 private:
  bool receiveMore();
  ByteStream* stream_;
  std::vector<char> buffer_;
  std::string pending_;
};

}  // namespace quelma::net
