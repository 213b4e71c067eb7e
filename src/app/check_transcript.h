// What the settings check saw of a provider connection, taken under the clients' own
// sessions: each command word sent (never its arguments: passwords and tokens stay out) with
// the server's reply to it, and the TLS handshake's outcome. The session runs unchanged over
// the recording stream, so the check connects exactly as a real session does.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/byte_stream.h"
#include "net/tls.h"

namespace quelma::app {

class CheckTranscript {
 public:
  struct Exchange {
    std::string command;  // "CAPA", "EHLO", "USER"...; empty for the greeting; "*" for other lines
    std::string reply;    // what the server sent until the next command (first 16 KB)
  };

  // `secure`: from the stream laid over TLS. Once TLS is up, what passes the plain stream
  // under it is ciphertext and not recorded; nor are the handshake's bytes.
  void sent(std::string_view bytes, bool secure);
  void received(std::string_view bytes, bool secure);

  const std::vector<Exchange>& exchanges() const { return exchanges_; }
  // The reply to the last `command` sent; nothing when it was never sent.
  std::optional<std::string> lastReplyTo(std::string_view command) const;
  // The reply to the first `command` sent; nothing when it was never sent.
  std::optional<std::string> firstReplyTo(std::string_view command) const;
  bool wasSent(std::string_view command) const { return lastReplyTo(command).has_value(); }
  std::size_t count(std::string_view command) const;

  // The TLS handshake, as a client's TlsClient starts it: the outcome is kept, and the secure
  // stream recorded like the plain one.
  net::TlsClient tlsClient(const net::TlsClientSettings& settings);
  const std::optional<net::TlsOutcome>& tlsOutcome() const { return tls_; }

 private:
  std::vector<Exchange> exchanges_{Exchange{}};
  bool recording(bool secure) const { return !handshake_ && (secure || !overTls_); }
  std::string partial_;  // a sent line not ended yet
  bool handshake_ = false;
  bool overTls_ = false;
  std::optional<net::TlsOutcome> tls_;
};

// A byte stream that lets everything through and tells the transcript; it may own the stream
// it wraps (a secure one made during the check).
class RecordingStream final : public net::ByteStream {
 public:
  RecordingStream(net::ByteStream& inner, CheckTranscript& transcript, std::unique_ptr<net::ByteStream> secure = {})
      : inner_(inner), transcript_(transcript), secure_(std::move(secure)) {}

  long receive(char* buffer, std::size_t capacity) override;
  bool sendAll(std::string_view bytes) override;
  void wake() override { inner_.wake(); }
  void close() override { inner_.close(); }
  std::optional<platform::IpAddress> peerAddress() const override { return inner_.peerAddress(); }

 private:
  net::ByteStream& inner_;
  CheckTranscript& transcript_;
  std::unique_ptr<net::ByteStream> secure_;  // owned when this records a TLS stream
};

}  // namespace quelma::app
