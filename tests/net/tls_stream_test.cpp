// TLS over real loopback connections, both ends ours: the checks a client makes of the
// server's certificate, each refusal with its words, and bytes both ways once it is up.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <thread>

#include "net/listener.h"
#include "net/plain_stream.h"
#include "net/tls.h"
#include "net/tls_log_text.h"
#include "platform/cp1251_utf8.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace quelma::net {
namespace {

using testing::TestCertificates;

// A TLS server on a free loopback port for one connection: it answers every received chunk
// with the same bytes in upper case, or plays `raw` (plain bytes, then a close) instead.
class OneConnectionServer {
 public:
  OneConnectionServer(std::shared_ptr<const TlsServerCredentials> credentials, std::string raw = "")
      : credentials_(std::move(credentials)), raw_(std::move(raw)) {
    EXPECT_EQ(listener_.open(platform::kLoopbackAddress, 0, 4), ListenFailure::kNone);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneConnectionServer() { thread_.join(); }
  std::uint16_t port() { return listener_.localPort().value_or(0); }
  TlsOutcome serverOutcome;

 private:
  void serve() {
    std::optional<PlainStream> plain = listener_.accept();
    if (!plain) return;
    plain->setReceiveTimeout(5000);
    if (!raw_.empty()) {
      if (raw_ != "close") plain->sendAll(raw_);
      plain->close();
      return;
    }
    std::unique_ptr<ByteStream> tls = credentials_->accept(*plain, serverOutcome);
    if (!tls) return;
    char buffer[4096];
    for (long n; (n = tls->receive(buffer, sizeof buffer)) > 0;) {
      std::string echo(buffer, static_cast<std::size_t>(n));
      for (char& c : echo) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (!tls->sendAll(echo)) break;
    }
    tls->close();
  }

  std::shared_ptr<const TlsServerCredentials> credentials_;
  std::string raw_;
  Listener listener_;
  std::thread thread_;
};

struct Fixture {
  testing::TempDir dir;
  TestCertificates certs{dir.path()};

  std::shared_ptr<const TlsServerCredentials> credentials(const std::string& cert, const std::string& key) {
    std::string error;
    auto loaded = TlsServerCredentials::Load(cert, key, error);
    EXPECT_TRUE(loaded) << error;
    return loaded;
  }
};

std::unique_ptr<ByteStream> Connect(std::uint16_t port, PlainStream& plain, const TlsClientSettings& settings,
                                    TlsOutcome& outcome) {
  EXPECT_EQ(ConnectTcp(platform::IpAddress::V4(platform::kLoopbackAddress), port, 5000, plain), ConnectFailure::kNone);
  return StartTlsClient(plain, settings, outcome);
}

TEST(TlsStream, BytesGoBothWaysOnceTheCertificateIsTrusted) {
  Fixture f;
  for (const std::string host : {"localhost", "127.0.0.1"}) {
    OneConnectionServer server(f.credentials(f.certs.goodCert, f.certs.goodKey));
    PlainStream plain;
    TlsOutcome outcome;
    auto tls = Connect(server.port(), plain, {host, f.certs.caCert, ""}, outcome);
    ASSERT_TRUE(tls) << host << ": " << outcome.reason;
    EXPECT_EQ(outcome.failure, TlsFailure::kNone);
    EXPECT_TRUE(outcome.protocol == "TLSv1.3" || outcome.protocol == "TLSv1.2") << outcome.protocol;
    ASSERT_EQ(outcome.chain.size(), 1u);
    EXPECT_EQ(outcome.chain[0].issuer, "CN=Quelmar Test CA,O=Quelmar tests");
    EXPECT_EQ(outcome.chain[0].names, (std::vector<std::string>{"localhost", "127.0.0.1", "0:0:0:0:0:0:0:1"}));
    const std::string big(300000, 'x');  // more than one record
    ASSERT_TRUE(tls->sendAll("hello\r\n" + big));
    std::string got;
    char buffer[8192];
    for (long n; got.size() < 7 + big.size() && (n = tls->receive(buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    EXPECT_EQ(got, "HELLO\r\n" + std::string(big.size(), 'X'));
    tls->close();
  }
}

TEST(TlsStream, EachRefusalSaysWhatWasWrong) {
  Fixture f;
  struct Case {
    const char* what;
    std::string cert, key, raw;
    TlsClientSettings settings;
    TlsFailure failure;
    std::string words;  // in the log line
  };
  const std::string expectedPin = std::string(64, 'A');
  const Case cases[] = {
      {"no CA file: untrusted, issuer named", f.certs.goodCert, f.certs.goodKey, "", {"localhost", "", ""},
       TlsFailure::kUntrusted, "выдан неизвестным издателем \"CN=Quelmar Test CA,O=Quelmar tests\""},
      {"self-signed", f.certs.selfSignedCert, f.certs.selfSignedKey, "", {"localhost", f.certs.caCert, ""},
       TlsFailure::kUntrusted, "неизвестным издателем \"CN=localhost,O=Quelmar tests\""},
      {"expired", f.certs.expiredCert, f.certs.expiredKey, "", {"localhost", f.certs.caCert, ""},
       TlsFailure::kExpired, "сейчас недействителен: он действует с "},
      {"other host", f.certs.otherHostCert, f.certs.otherHostKey, "", {"localhost", f.certs.caCert, ""},
       TlsFailure::kHostName, "выдан для other.example, *.other.example, а соединение установлено с \"localhost\""},
      {"address not in the certificate", f.certs.otherHostCert, f.certs.otherHostKey, "", {"127.0.0.1", f.certs.caCert, ""},
       TlsFailure::kHostName, "соединение установлено с \"127.0.0.1\""},
      {"partial wildcard does not cover the parent", f.certs.otherHostCert, f.certs.otherHostKey, "",
       {"a.b.other.example", f.certs.caCert, ""}, TlsFailure::kHostName, "other.example"},
      {"pin mismatch even with a trusted chain", f.certs.goodCert, f.certs.goodKey, "",
       {"localhost", f.certs.caCert, expectedPin}, TlsFailure::kPin, "не совпадает с заданным " + expectedPin},
      {"closed during the handshake", f.certs.goodCert, f.certs.goodKey, "close", {"localhost", f.certs.caCert, ""},
       TlsFailure::kHandshake, "не удалось установить защищенное соединение с \"localhost\""},
      {"garbage instead of a handshake", f.certs.goodCert, f.certs.goodKey, "+OK POP3 ready\r\n",
       {"localhost", f.certs.caCert, ""}, TlsFailure::kHandshake, "не удалось установить защищенное соединение"},
      {"unreadable CA file", f.certs.goodCert, f.certs.goodKey, "", {"localhost", f.dir.file("missing.pem"), ""},
       TlsFailure::kSettings, "не могу взять доверенные сертификаты из файла"},
  };
  for (const Case& c : cases) {
    OneConnectionServer server(f.credentials(c.cert, c.key), c.raw);
    PlainStream plain;
    TlsOutcome outcome;
    auto tls = Connect(server.port(), plain, c.settings, outcome);
    EXPECT_FALSE(tls) << c.what;
    EXPECT_EQ(outcome.failure, c.failure) << c.what << ": " << outcome.reason;
    const std::string text = TlsFailureText(outcome, c.settings);
    EXPECT_NE(text.find(c.words), std::string::npos) << c.what << ": " << platform::Cp1251ToUtf8(text);
    EXPECT_TRUE(text.ends_with("\r\n")) << c.what;
    plain.close();
  }
}

TEST(TlsStream, APinnedSelfSignedCertificateIsTakenWithoutAnyOtherCheck) {
  Fixture f;
  for (const std::string host : {"localhost", "somewhere.else"}) {
    OneConnectionServer server(f.credentials(f.certs.selfSignedCert, f.certs.selfSignedKey));
    PlainStream plain;
    TlsOutcome outcome;
    auto tls = Connect(server.port(), plain, {host, "", f.certs.selfSignedSha256}, outcome);
    ASSERT_TRUE(tls) << host << ": " << outcome.reason;
    ASSERT_TRUE(tls->sendAll("ok"));
    char buffer[16];
    EXPECT_EQ(tls->receive(buffer, sizeof buffer), 2);
    tls->close();
  }
}

TEST(TlsStream, ServerCredentialsThatCannotBeUsedSayWhichFile) {
  Fixture f;
  struct Case {
    std::string cert, key, named;
  };
  const Case cases[] = {
      {f.dir.file("none.pem"), f.certs.goodKey, "none.pem"},
      {f.certs.goodCert, f.dir.file("none.key"), "none.key"},
      {f.certs.goodCert, f.certs.otherHostKey, "other.key"},  // a key of another certificate
      {f.certs.goodKey, f.certs.goodKey, "good.key"},        // a key where the certificate belongs
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(TlsServerCredentials::Load(c.cert, c.key, error)) << c.named;
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
  }
}

TEST(TlsStream, AClientThatSpeaksPlainTextToTheServerEndsItsHandshake) {
  Fixture f;
  auto credentials = f.credentials(f.certs.goodCert, f.certs.goodKey);
  Listener listener;
  ASSERT_EQ(listener.open(platform::kLoopbackAddress, 0, 4), ListenFailure::kNone);
  std::thread client([&] {
    PlainStream plain;
    ConnectTcp(platform::IpAddress::V4(platform::kLoopbackAddress), listener.localPort().value_or(0), 5000, plain);
    plain.sendAll("USER me\r\nPASS secret\r\n");
    char buffer[256];
    while (plain.receive(buffer, sizeof buffer) > 0) {
    }
  });
  std::optional<PlainStream> plain = listener.accept();
  ASSERT_TRUE(plain);
  plain->setReceiveTimeout(5000);
  TlsOutcome outcome;
  EXPECT_FALSE(credentials->accept(*plain, outcome));
  EXPECT_EQ(outcome.failure, TlsFailure::kHandshake);
  plain->close();
  client.join();
}

}  // namespace
}  // namespace quelma::net
#endif
