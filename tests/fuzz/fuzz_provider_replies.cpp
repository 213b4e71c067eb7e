// Fuzz target: whatever a provider's SMTP server answers (replies, CRAM-MD5 challenges), and
// the queue file lines and header lines that the upload reads and rewrites.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/configuration.h"
#include "net/reply_reader.h"
#include "net/transfer_form.h"
#include "platform/line_reader.h"
#include "smtp_client/sender_rewriting.h"
#include "smtp_client/smtp_authentication.h"
#include "spool/queue_file.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t at = 0;
  net::ReplyReader replies([&](char* buffer, std::size_t capacity) {
    const std::size_t n = std::min<std::size_t>({capacity, 7, bytes.size() - at});
    std::memcpy(buffer, bytes.data() + at, n);
    at += n;
    return static_cast<long>(n);
  });
  std::string reply;
  while (replies.read(reply)) {
    if (reply.size() > net::kMaxReplyText) __builtin_trap();
    smtp_client::ChooseAuthMethod(reply);
    smtp_client::CramMd5Answer(reply, "login", "password");
  }

  config::Configuration config;
  config.LocalDomain = "office.local";
  config.users = {{"ivan", "", "ivan@provider.ru"}};
  platform::StringSource file(bytes);
  platform::LineReader lines(file, spool::kMaxQueueLine);
  net::DotStuffer stuffer({true, 998});
  std::string line, wire;
  std::size_t total = 0;
  while (lines.next(line)) {
    if (line.empty() || line.size() > spool::kMaxQueueLine) __builtin_trap();
    total += line.size();
    smtp_client::RewriteAddressHeader(line, "ivan@provider.ru", config.LocalDomain);
    if (const auto sender = smtp_client::ExtractSender(line)) smtp_client::RewriteSender(*sender, config);
    stuffer.add(line, wire);
  }
  if (total != bytes.size()) __builtin_trap();  // every byte of the file is sent
  stuffer.finish(wire);
  // No line on the wire longer than 1,000 bytes with its line end, and the reader ends at the end line.
  for (std::size_t start = 0, lineFeed; (lineFeed = wire.find('\n', start)) != std::string::npos; start = lineFeed + 1) {
    if (lineFeed - start > 999) __builtin_trap();
  }
  net::DotUnstuffer reader;
  if (reader.add(wire, [](std::string_view) {}) != wire.size() || !reader.ended()) __builtin_trap();
  return 0;
}
