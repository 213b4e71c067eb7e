// Replies of the maildrop commands.
#include "pop3_server/maildrop_commands.h"

#include <limits>

#include "platform/text.h"
#include "pop3_server/message_transfer.h"
#include "pop3_server/pop3_replies.h"

namespace quelma::pop3_server {

using spool::CommitResult;
using spool::MaildropFile;
using spool::MaildropMessage;

namespace {

constexpr std::uint64_t kTooBig = std::numeric_limits<std::uint64_t>::max();

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A decimal run, saturating instead of wrapping.
std::uint64_t Digits(std::string_view text, std::size_t& i) {
  std::uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    value = value > (kTooBig - digit) / 10 ? kTooBig : value * 10 + digit;
  }
  return value;
}

// scanf's " %d": white space, an optional sign, digits. A negative number reads as -1.
std::optional<std::int64_t> ScanInt(std::string_view text, std::size_t& i) {
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !IsDigit(text[i])) return std::nullopt;
  const std::uint64_t v = Digits(text, i);
  if (negative) return -1;
  return v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ? std::numeric_limits<std::int64_t>::max()
                                                                                   : static_cast<std::int64_t>(v);
}

std::string N(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::optional<std::uint64_t> MessageNumberArgument(std::string_view line) {
  std::size_t i = 4;
  while (i < line.size() && !IsDigit(line[i])) ++i;
  if (i >= line.size()) return std::nullopt;
  return Digits(line, i);
}

MaildropCommands::MaildropCommands(const std::string& path, std::string temporaryPath, net::ReplySink& sink)
    : drop_(spool::MaildropFile::Open(path)), temporaryPath_(std::move(temporaryPath)), sink_(sink) {
  if (drop_) drop_->buildIndex();
}

void MaildropCommands::buildIfEmpty() {
  if (drop_ && drop_->messages().empty()) drop_->buildIndex();
}

void MaildropCommands::rebuild() {
  if (drop_) drop_->buildIndex();
}

spool::MaildropMessage* MaildropCommands::live(std::uint64_t n) {
  if (!drop_ || n == 0 || n > drop_->messages().size()) return nullptr;
  spool::MaildropMessage& m = drop_->messages()[n - 1];
  return m.deleted ? nullptr : &m;
}

bool MaildropCommands::sendMessage(std::string_view status, const spool::MaildropMessage& m,
                                   std::optional<std::uint64_t> topLines) {
  MessageTransfer transfer(status, sink_, topLines);
  const auto read = drop_->readText(m, [&transfer](std::string_view piece) { return transfer.add(piece); });
  if (read == spool::MaildropFile::ReadResult::kReadFailed || transfer.sendFailed()) return false;
  return transfer.finish();
}

bool MaildropCommands::stat() {
  if (!drop_) return send(reply::kStatEmpty);
  buildIfEmpty();
  std::uint64_t count = 0, octets = 0;
  for (const auto& m : drop_->messages()) {
    if (m.deleted) continue;
    ++count;
    octets += m.size;
  }
  return send("+OK " + N(count) + " " + N(octets) + " (messages, octets) in the maildrop\r\n");
}

bool MaildropCommands::list(std::string_view line) {
  if (!drop_) return send(reply::kListEmpty);
  buildIfEmpty();
  if (const auto n = MessageNumberArgument(line)) {
    const spool::MaildropMessage* m = live(*n);
    return send(m ? "+OK " + N(*n) + " " + N(m->size) + "\r\n" : std::string(reply::kNoSuchMessage));
  }
  std::uint64_t count = 0, octets = 0;
  std::string listing;
  const auto& messages = drop_->messages();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages[i].deleted) continue;
    ++count;
    octets += messages[i].size;
    listing += N(i + 1) + " " + N(messages[i].size) + "\r\n";
  }
  return send("+OK " + N(count) + " messages " + N(octets) + " octets. Scan listing follows.\r\n" + listing +
              reply::kEnd);
}

bool MaildropCommands::retr(std::string_view line) {
  if (!drop_ || drop_->messages().empty()) {
    rebuild();
    return send(reply::kMaildropEmpty);
  }
  const auto n = MessageNumberArgument(line);
  if (!n) return send(reply::kNumberMissing);
  const spool::MaildropMessage* m = live(*n);
  if (!m) return send(reply::kNoSuchMessageInMaildrop);
  return sendMessage(reply::kRetrFollows, *m, std::nullopt);
}

bool MaildropCommands::top(std::string_view line) {
  if (!drop_) return send(reply::kMaildropEmpty);
  buildIfEmpty();
  const std::string lower = platform::ToLowerAscii(line);
  std::size_t i = 3;
  const auto n = lower.starts_with("top") ? ScanInt(lower, i) : std::nullopt;
  const auto lines = n ? ScanInt(lower, i) : std::nullopt;
  if (!n || !lines) return send(reply::kTopSyntax);
  const spool::MaildropMessage* m = *n < 1 ? nullptr : live(static_cast<std::uint64_t>(*n));
  if (!m) return send(reply::kNoSuchMessage);
  const std::uint64_t bodyLines = *lines < 0 ? 0 : static_cast<std::uint64_t>(*lines);
  return sendMessage(reply::kTopFollows, *m, bodyLines);
}

bool MaildropCommands::uidl(std::string_view line) {
  const auto n = MessageNumberArgument(line);
  // Without a maildrop the listing is empty, not an error: a mail reader that polls with UIDL
  // (getmail) takes an error there for a broken server.
  if (!drop_) return send(n ? std::string(reply::kMaildropEmpty) : std::string(reply::kUidlFollows) + reply::kEnd);
  buildIfEmpty();
  if (n) {
    const spool::MaildropMessage* m = live(*n);
    if (!m) return send(reply::kNoSuchMessageInMaildrop);
    if (!m->uid) return send(reply::kUidlNotFound);
    return send("+OK " + N(*n) + " " + *m->uid + "\r\n");
  }
  // A failure notice has no unique id: it is left out, and the listing goes on after it.
  std::string listing = reply::kUidlFollows;
  const auto& messages = drop_->messages();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (!messages[i].deleted && messages[i].uid) listing += N(i + 1) + " " + *messages[i].uid + "\r\n";
  }
  return send(listing + reply::kEnd);
}

bool MaildropCommands::dele(std::string_view line) {
  if (!drop_ || drop_->messages().empty()) {
    rebuild();
    return send(reply::kNoSuchMessage);
  }
  const auto n = MessageNumberArgument(line);
  if (!n) return send(reply::kNumberMissing);
  if (*n == 0 || *n > drop_->messages().size()) return send(reply::kNoSuchMessage);
  spool::MaildropMessage& m = drop_->messages()[*n - 1];
  if (m.deleted) return send(reply::kAlreadyDeleted);
  m.deleted = true;
  return send(reply::kDeleted);
}

spool::CommitResult MaildropCommands::commit() {
  if (!drop_ || drop_->messages().empty()) return spool::CommitResult::kCommitted;
  const spool::CommitResult result = drop_->commit(temporaryPath_);
  drop_.reset();
  return result;
}

}  // namespace quelma::pop3_server
