// Replies of a peer read from a byte stream: whole lines, or the bytes as they come. Each
// receive asks for up to the given size into one buffer kept for the connection; bytes
// beyond what a read hands out wait there for the next.
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
    const std::size_t dropped = end_ - begin_;
    begin_ = end_ = 0;
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

  // The bytes already received and not handed out, or else those of one receive, without a
  // copy: the view holds until the next read. They stay unread until consume() takes them.
  // False when the connection failed or closed.
  bool peek(std::string_view& bytes);
  // The first `count` bytes of the last peek are read.
  void consume(std::size_t count) { begin_ += count; }
  // The same as a copy, all of them read.
  bool readSome(std::string& bytes);
  // Whether bytes wait that were received and not yet handed out (a wait on the socket would
  // not show them).
  bool holdsInput() const { return begin_ < end_; }

 private:
  bool receiveMore();
  ByteStream* stream_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
};

}  // namespace quelma::net
