// The byte side of the provider session: buffered sending and the reply reader over the
// stream. The first failure is kept with the error number its caller gave; after it every
// send and read does nothing, so a phase checks once where it has to decide.
#pragma once

#include <string>
#include <string_view>

#include "net/byte_stream.h"
#include "net/reply_reader.h"
#include "smtp_client/smtp_client_error.h"

namespace quelma::smtp_client {

class ProviderConnection {
 public:
  static constexpr std::size_t kSendBuffer = 64 * 1024;

  explicit ProviderConnection(net::ByteStream& stream) : stream_(&stream) {}
  ProviderConnection(const ProviderConnection&) = delete;  // the reply reader points at this one
  ProviderConnection& operator=(const ProviderConnection&) = delete;

  // Queues bytes; they go out when the buffer fills or before the next reply is read. A
  // failed transfer reports the number of the send whose bytes were queued last.
  void send(std::string_view bytes, SmtpClientError error);
  // Queues what `write` appends to the queued bytes (a writer that works in place).
  template <typename Write>
  void sendWith(Write&& write, SmtpClientError error) {
    if (failed()) return;
    write(out_);
    outError_ = error;
    if (out_.size() >= kSendBuffer) flush();
  }

  // Sends what is queued, then reads one reply (see ReplyReader). False on a failure, now
  // or before.
  bool readReply(SmtpClientError error);
  const std::string& reply() const { return reply_; }

  // A fault outside the connection ends it: nothing queued goes out any more.
  void abandon(SmtpClientError error) {
    if (!failed()) error_ = error;
  }

  // Speaks through `stream` from now on (TLS laid over the old one); replies received before
  // and not yet read are dropped, never taken for the server's word over TLS.
  void restart(net::ByteStream& stream) {
    stream_ = &stream;
    out_.clear();
    replies_.clear();
  }

  net::ByteStream& stream() { return *stream_; }
  bool failed() const { return error_ != SmtpClientError::kNone; }
  SmtpClientError error() const { return error_; }

 private:
  void flush();
  net::ByteStream* stream_;
  std::string out_;
  SmtpClientError outError_ = SmtpClientError::kNone;
  SmtpClientError error_ = SmtpClientError::kNone;
  net::ReplyReader replies_{[this](char* buffer, std::size_t capacity) { return stream_->receive(buffer, capacity); }};
  std::string reply_;
};

}  // namespace quelma::smtp_client
