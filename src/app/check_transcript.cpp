// The settings check's transcript of a provider connection: command words and replies.
#include "app/check_transcript.h"

#include <algorithm>
#include <array>

#include "platform/text.h"

namespace quelma::app {
namespace {

constexpr std::size_t kReplyKept = 16 * 1024;

// An IMAP command's tag ("A12 "), or nothing.
std::size_t TagLength(std::string_view line) {
  if (line.size() < 3 || line[0] != 'A') return 0;
  const std::size_t end = line.find_first_not_of("0123456789", 1);
  return end != 1 && end != std::string_view::npos && line[end] == ' ' ? end + 1 : 0;
}

// Only the protocols' own command words are kept (an IMAP command's without its tag); a line of
// credentials or a token is "*".
std::string CommandWord(std::string_view line) {
  static constexpr std::array<std::string_view, 17> kWords = {
      "CAPA",  "STLS",       "USER",  "PASS",         "APOP",    "AUTH",   "QUIT",   "EHLO",  "HELO",
      "STARTTLS", "RSET", "CAPABILITY", "LOGIN", "AUTHENTICATE", "EXAMINE", "SELECT", "LOGOUT"};
  line.remove_prefix(TagLength(line));
  const std::string_view word = line.substr(0, line.find_first_of(" \r\n"));
  for (const std::string_view known : kWords) {
    if (platform::EqualsIgnoreAsciiCase(word, known)) return std::string(known);
  }
  return "*";
}

}  // namespace

void CheckTranscript::sent(std::string_view bytes, bool secure) {
  if (!recording(secure)) return;
  partial_ += bytes;
  for (std::size_t lf = partial_.find('\n'); lf != std::string::npos; lf = partial_.find('\n')) {
    exchanges_.push_back({CommandWord(partial_.substr(0, lf + 1)), {}});
    partial_.erase(0, lf + 1);
  }
  if (partial_.size() > kReplyKept) partial_.clear();  // no command is this long
}

void CheckTranscript::received(std::string_view bytes, bool secure) {
  if (!recording(secure)) return;
  std::string& reply = exchanges_.back().reply;
  reply += bytes.substr(0, kReplyKept - std::min(kReplyKept, reply.size()));
}

std::optional<std::string> CheckTranscript::lastReplyTo(std::string_view command) const {
  for (auto it = exchanges_.rbegin(); it != exchanges_.rend(); ++it) {
    if (it->command == command) return it->reply;
  }
  return std::nullopt;
}

std::optional<std::string> CheckTranscript::firstReplyTo(std::string_view command) const {
  for (const Exchange& exchange : exchanges_) {
    if (exchange.command == command) return exchange.reply;
  }
  return std::nullopt;
}

std::size_t CheckTranscript::count(std::string_view command) const {
  return static_cast<std::size_t>(std::count_if(exchanges_.begin(), exchanges_.end(),
                                                [command](const Exchange& e) { return e.command == command; }));
}

net::TlsClient CheckTranscript::tlsClient(const net::TlsClientSettings& settings) {
  net::TlsClient client{settings};
  client.start = [this](net::ByteStream& transport, const net::TlsClientSettings& s, net::TlsOutcome& outcome)
      -> std::unique_ptr<net::ByteStream> {
    handshake_ = true;
    std::unique_ptr<net::ByteStream> secure = net::StartTlsClient(transport, s, outcome);
    handshake_ = false;
    overTls_ = secure != nullptr;
    tls_ = outcome;
    if (!secure) return nullptr;
    net::ByteStream& inner = *secure;
    return std::make_unique<RecordingStream>(inner, *this, std::move(secure));
  };
  return client;
}

long RecordingStream::receive(char* buffer, std::size_t capacity) {
  const long n = inner_.receive(buffer, capacity);
  if (n > 0) transcript_.received(std::string_view(buffer, static_cast<std::size_t>(n)), secure_ != nullptr);
  return n;
}

bool RecordingStream::sendAll(std::string_view bytes) {
  transcript_.sent(bytes, secure_ != nullptr);
  return inner_.sendAll(bytes);
}

}  // namespace quelma::app
