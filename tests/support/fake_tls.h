// TLS played without a handshake, for client sessions over scripted streams: what is sent
// after the handshake goes to a second script (the same server behind TLS), or the handshake
// fails with the failure given.
#pragma once

#include <memory>

#include "net/tls.h"
#include "support/scripted_stream.h"

namespace quelma::testing {

class FakeTls {
 public:
  // Null: every handshake fails with `failure`.
  explicit FakeTls(ScriptedStream* secureSide, net::TlsFailure failure = net::TlsFailure::kHandshake)
      : secureSide_(secureSide), failure_(failure) {}

  net::TlsClient client() {
    net::TlsClient c;
    c.settings = {"provider.test", "", ""};
    c.start = [this](net::ByteStream&, const net::TlsClientSettings&,
                     net::TlsOutcome& outcome) -> std::unique_ptr<net::ByteStream> {
      ++handshakes;
      outcome = net::TlsOutcome{};
      outcome.chain = {net::CertificateInfo{"CN=provider.test", "CN=Unknown CA", {"provider.test"}, "", "", true,
                                            std::string(64, '0')}};
      if (!secureSide_) {
        outcome.failure = failure_;
        return nullptr;
      }
      outcome.protocol = "TLSv1.3";
      outcome.cipher = "FAKE";
      return std::make_unique<Forward>(*secureSide_);
    };
    return c;
  }

  int handshakes = 0;

 private:
  class Forward final : public net::ByteStream {
   public:
    explicit Forward(ScriptedStream& to) : to_(to) {}
    long receive(char* buffer, std::size_t capacity) override { return to_.receive(buffer, capacity); }
    bool sendAll(std::string_view bytes) override { return to_.sendAll(bytes); }
    void wake() override {}
    void close() override { to_.close(); }
    std::optional<platform::IpAddress> peerAddress() const override { return to_.peerAddress(); }

   private:
    ScriptedStream& to_;
  };

  ScriptedStream* secureSide_;
  net::TlsFailure failure_;
};

}  // namespace quelma::testing
