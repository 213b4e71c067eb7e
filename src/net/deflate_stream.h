// A stream compressed both ways with DEFLATE (raw, no zlib header), as IMAP's COMPRESS=DEFLATE
// lays it over a connection: what is sent is flushed at once, so every reply reaches the
// client whole.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "net/byte_stream.h"

namespace quelma::net {

class DeflateStream final : public ByteStream {
 public:
  // Over `inner`; `received` holds compressed bytes already read from it.
  DeflateStream(ByteStream& inner, std::string received = {});
  ~DeflateStream() override;
  // False when zlib could not be set up (the stream is then not to be used).
  bool ready() const;

  long receive(char* buffer, std::size_t capacity) override;
  bool sendAll(std::string_view bytes) override;
  void wake() override { inner_.wake(); }
  void close() override { inner_.close(); }
  std::optional<platform::IpAddress> peerAddress() const override { return inner_.peerAddress(); }
  const platform::Socket* socketBeneath() const override { return inner_.socketBeneath(); }
  bool holdsInput() const override;

 private:
  struct Zlib;
  ByteStream& inner_;
  std::unique_ptr<Zlib> zlib_;
};

}  // namespace quelma::net
