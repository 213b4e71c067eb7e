// The STLS / STARTTLS turn of both servers: which dialogues run, on which stream, how secure.
#include "serving/start_tls_serving.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace quelma::serving {
namespace {

class NullStream final : public net::ByteStream {
 public:
  long receive(char*, std::size_t) override { return 0; }
  bool sendAll(std::string_view) override { return true; }
  void wake() override {}
  void close() override { closed = true; }
  std::optional<platform::IpAddress> peerAddress() const override { return std::nullopt; }
  bool closed = false;
};

// Hands out `secure` once, or fails every handshake when it has none.
class FakeCredentials final : public net::TlsServerCredentials {
 public:
  explicit FakeCredentials(bool succeeds) : succeeds_(succeeds) {}
  std::unique_ptr<net::ByteStream> accept(net::ByteStream&, net::TlsOutcome& outcome) const override {
    ++handshakes;
    outcome = net::TlsOutcome{};
    if (!succeeds_) {
      outcome.failure = net::TlsFailure::kHandshake;
      outcome.reason = "no";
      return nullptr;
    }
    auto stream = std::make_unique<NullStream>();
    issued = stream.get();
    return stream;
  }
  mutable int handshakes = 0;
  mutable NullStream* issued = nullptr;

 private:
  bool succeeds_;
};

TEST(StartTlsServing, TheSecondDialogueRunsOverTlsOnlyWhenAskedAndTheHandshakeSucceeds) {
  enum Credentials { kNone, kFailing, kWorking };
  const struct Case {
    const char* what;
    bool tlsPort;
    Credentials credentials;
    bool asks;  // the first dialogue ends asking for TLS
    std::vector<bool> dialogues;  // `secure` of each dialogue run
    int handshakes;
  } cases[] = {
      {"no request", false, kWorking, false, {false}, 0},
      {"a request without a certificate", false, kNone, true, {false}, 0},
      {"a request, the handshake fails", false, kFailing, true, {false}, 1},
      {"a request, TLS comes up", false, kWorking, true, {false, true}, 1},
      {"on the TLS port nothing asks again", true, kWorking, true, {true}, 0},
  };
  for (const Case& c : cases) {
    NullStream plain;
    FakeCredentials credentials(c.credentials == kWorking);
    ClientConnection client{plain, nullptr, c.credentials == kNone ? nullptr : &credentials, c.tlsPort, true};
    std::vector<bool> secureFlags;
    std::vector<net::ByteStream*> streams;
    std::vector<std::string> logged;
    ServeWithStartTls(client, [&logged](const std::string& line) { logged.push_back(line); },
                      [&](net::ByteStream& stream, bool secure) {
                        secureFlags.push_back(secure);
                        streams.push_back(&stream);
                        return c.asks;
                      });
    EXPECT_EQ(secureFlags, c.dialogues) << c.what;
    EXPECT_EQ(credentials.handshakes, c.handshakes) << c.what;
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(c.handshakes)) << c.what << ": one line per handshake";
    if (secureFlags.size() == 2) {
      EXPECT_EQ(streams[0], &plain);
      EXPECT_EQ(streams[1], credentials.issued) << "the second dialogue speaks through TLS";
    }
  }
}

}  // namespace
}  // namespace quelma::serving
