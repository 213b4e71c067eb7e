// DEFLATE both ways over a byte stream, with zlib.
#include "net/deflate_stream.h"

#include <vector>

#include <zlib.h>

namespace quelma::net {
namespace {

constexpr std::size_t kPiece = 64 * 1024;

}  // namespace

struct DeflateStream::Zlib {
  z_stream in{};
  z_stream out{};
  bool inReady = false, outReady = false;
  std::string received;  // compressed, not yet inflated
  std::size_t used = 0;  // of `received`
  bool ended = false;    // the inner stream closed or failed
  ~Zlib() {
    if (inReady) inflateEnd(&in);
    if (outReady) deflateEnd(&out);
  }
};

DeflateStream::DeflateStream(ByteStream& inner, std::string received) : inner_(inner), zlib_(std::make_unique<Zlib>()) {
  zlib_->received = std::move(received);
  // Negative window bits: raw DEFLATE, as RFC 4978 has it.
  zlib_->inReady = inflateInit2(&zlib_->in, -15) == Z_OK;
  zlib_->outReady = deflateInit2(&zlib_->out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

DeflateStream::~DeflateStream() = default;

bool DeflateStream::ready() const { return zlib_->inReady && zlib_->outReady; }

bool DeflateStream::holdsInput() const {
  // Compressed bytes not yet inflated may hold a whole command, and so may what inflate holds.
  return zlib_->used < zlib_->received.size() || zlib_->in.avail_in > 0 || inner_.holdsInput();
}

long DeflateStream::receive(char* buffer, std::size_t capacity) {
  Zlib& z = *zlib_;
  if (capacity == 0) return 0;
  for (;;) {
    if (z.used == z.received.size()) {
      if (z.ended) return 0;
      z.received.resize(kPiece);
      const long n = inner_.receive(z.received.data(), kPiece);
      if (n <= 0) {
        z.received.clear();
        z.used = 0;
        z.ended = true;
        return n;
      }
      z.received.resize(static_cast<std::size_t>(n));
      z.used = 0;
    }
    z.in.next_in = reinterpret_cast<Bytef*>(z.received.data() + z.used);
    z.in.avail_in = static_cast<uInt>(z.received.size() - z.used);
    z.in.next_out = reinterpret_cast<Bytef*>(buffer);
    z.in.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, kPiece));
    const int result = inflate(&z.in, Z_SYNC_FLUSH);
    z.used = z.received.size() - z.in.avail_in;
    z.in.avail_in = 0;
    const std::size_t produced = std::min<std::size_t>(capacity, kPiece) - z.in.avail_out;
    if (result != Z_OK && result != Z_BUF_ERROR && result != Z_STREAM_END) return -1;  // damaged data
    if (produced > 0) return static_cast<long>(produced);
    if (result == Z_STREAM_END) return 0;
  }
}

bool DeflateStream::sendAll(std::string_view bytes) {
  Zlib& z = *zlib_;
  std::vector<char> piece(kPiece);
  z.out.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.out.avail_in = static_cast<uInt>(bytes.size());
  do {
    z.out.next_out = reinterpret_cast<Bytef*>(piece.data());
    z.out.avail_out = static_cast<uInt>(piece.size());
    if (deflate(&z.out, Z_SYNC_FLUSH) == Z_STREAM_ERROR) return false;
    const std::size_t produced = piece.size() - z.out.avail_out;
    if (produced > 0 && !inner_.sendAll(std::string_view(piece.data(), produced))) return false;
  } while (z.out.avail_out == 0 || z.out.avail_in > 0);
  return true;
}

}  // namespace quelma::net
