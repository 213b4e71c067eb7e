// Replies of the maildrop commands.
#include "pop3_server/maildrop_commands.h"

#include <algorithm>
#include <limits>

#include "platform/files.h"
#include "platform/text.h"
#include "pop3_server/message_transfer.h"
#include "pop3_server/pop3_replies.h"
#include "spool/delivery.h"

namespace quelma::pop3_server {


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

MaildropCommands::MaildropCommands(const std::string& path, net::ReplySink& sink) : sink_(sink) {
  if (platform::FileExists(path)) mailbox_ = spool::Mailbox::Open(path, &openNote_);
  if (mailbox_) rebuild();
}

void MaildropCommands::buildIfEmpty() {
  if (mailbox_ && messages_.empty()) rebuild();
}

// The mailbox as it is now, every deletion mark dropped.
void MaildropCommands::rebuild() {
  if (!mailbox_) return;
  mailbox_->refresh();
  messages_.clear();
  const spool::MailboxIndex index = mailbox_->index();
  validity_ = index.uidValidity;
  for (const spool::IndexedMessage& m : index.messages) messages_.push_back({m.uid, m.size, m.id});
}

// The messages marked deleted by their UIDs under `validity`; when the mailbox was numbered
// anew meanwhile (its file changed behind the program's back), by their ids and sizes.
std::vector<std::uint32_t> MaildropCommands::deletedUids(std::uint32_t& validity) const {
  std::vector<std::uint32_t> uids;
  const spool::MailboxIndex index = mailbox_->index();
  validity = index.uidValidity;
  for (const Listed& m : messages_) {
    if (!m.deleted) continue;
    if (index.uidValidity == validity_) {
      uids.push_back(m.uid);
      continue;
    }
    for (const spool::IndexedMessage& now : index.messages) {
      if (now.id == m.id && now.size == m.size) uids.push_back(now.uid);
    }
  }
  return uids;
}

const MaildropCommands::Listed* MaildropCommands::live(std::uint64_t n) const {
  if (!mailbox_ || n == 0 || n > messages_.size()) return nullptr;
  const Listed& m = messages_[n - 1];
  return m.deleted ? nullptr : &m;
}

bool MaildropCommands::sendMessage(std::string_view status, const Listed& m, std::optional<std::uint64_t> topLines) {
  MessageTransfer transfer(status, sink_, topLines);
  const auto read = mailbox_->readText(m.uid, m.id, [&transfer](std::string_view piece) { return transfer.add(piece); });
  // Expunged by another session and compacted away since the listing: nothing was sent yet.
  if (read == spool::Mailbox::ReadResult::kGone) return send(reply::kNoSuchMessageInMaildrop);
  if (read == spool::Mailbox::ReadResult::kReadFailed || transfer.sendFailed()) return false;
  return transfer.finish();
}

bool MaildropCommands::stat() {
  if (!mailbox_) return send(reply::kStatEmpty);
  buildIfEmpty();
  std::uint64_t count = 0, octets = 0;
  for (const auto& m : messages_) {
    if (m.deleted) continue;
    ++count;
    octets += m.size;
  }
  return send("+OK " + N(count) + " " + N(octets) + " (messages, octets) in the maildrop\r\n");
}

bool MaildropCommands::list(std::string_view line) {
  if (!mailbox_) return send(reply::kListEmpty);
  buildIfEmpty();
  if (const auto n = MessageNumberArgument(line)) {
    const Listed* m = live(*n);
    return send(m ? "+OK " + N(*n) + " " + N(m->size) + "\r\n" : std::string(reply::kNoSuchMessage));
  }
  std::uint64_t count = 0, octets = 0;
  std::string listing;
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (messages_[i].deleted) continue;
    ++count;
    octets += messages_[i].size;
    listing += N(i + 1) + " " + N(messages_[i].size) + "\r\n";
  }
  return send("+OK " + N(count) + " messages " + N(octets) + " octets. Scan listing follows.\r\n" + listing +
              reply::kEnd);
}

bool MaildropCommands::retr(std::string_view line) {
  if (!mailbox_ || messages_.empty()) {
    rebuild();
    return send(reply::kMaildropEmpty);
  }
  const auto n = MessageNumberArgument(line);
  if (!n) return send(reply::kNumberMissing);
  const Listed* m = live(*n);
  if (!m) return send(reply::kNoSuchMessageInMaildrop);
  return sendMessage(reply::kRetrFollows, *m, std::nullopt);
}

bool MaildropCommands::top(std::string_view line) {
  if (!mailbox_) return send(reply::kMaildropEmpty);
  buildIfEmpty();
  const std::string lower = platform::ToLowerAscii(line);
  std::size_t i = 3;
  const auto n = lower.starts_with("top") ? ScanInt(lower, i) : std::nullopt;
  const auto lines = n ? ScanInt(lower, i) : std::nullopt;
  if (!n || !lines) return send(reply::kTopSyntax);
  const Listed* m = *n < 1 ? nullptr : live(static_cast<std::uint64_t>(*n));
  if (!m) return send(reply::kNoSuchMessage);
  const std::uint64_t bodyLines = *lines < 0 ? 0 : static_cast<std::uint64_t>(*lines);
  return sendMessage(reply::kTopFollows, *m, bodyLines);
}

bool MaildropCommands::uidl(std::string_view line) {
  const auto n = MessageNumberArgument(line);
  // Without a maildrop the listing is empty, not an error: a mail reader that polls with UIDL
  // (getmail) takes an error there for a broken server.
  if (!mailbox_) return send(n ? std::string(reply::kMaildropEmpty) : std::string(reply::kUidlFollows) + reply::kEnd);
  buildIfEmpty();
  if (n) {
    const Listed* m = live(*n);
    if (!m) return send(reply::kNoSuchMessageInMaildrop);
    if (m->id.empty()) return send(reply::kUidlNotFound);
    return send("+OK " + N(*n) + " " + m->id + "\r\n");
  }
  // A failure notice has no unique id: it is left out, and the listing goes on after it.
  std::string listing = reply::kUidlFollows;
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (!messages_[i].deleted && !messages_[i].id.empty()) listing += N(i + 1) + " " + messages_[i].id + "\r\n";
  }
  return send(listing + reply::kEnd);
}

bool MaildropCommands::dele(std::string_view line) {
  if (!mailbox_ || messages_.empty()) {
    rebuild();
    return send(reply::kNoSuchMessage);
  }
  const auto n = MessageNumberArgument(line);
  if (!n) return send(reply::kNumberMissing);
  if (*n == 0 || *n > messages_.size()) return send(reply::kNoSuchMessage);
  Listed& m = messages_[*n - 1];
  if (m.deleted) return send(reply::kAlreadyDeleted);
  m.deleted = true;
  return send(reply::kDeleted);
}

CommitResult MaildropCommands::commit() {
  const bool any = std::any_of(messages_.begin(), messages_.end(), [](const Listed& m) { return m.deleted; });
  if (!mailbox_ || !any) return CommitResult::kCommitted;
  // A delivery that recovery has yet to finish will cut the file back to a size it noted: the
  // deletions wait for it.
  if (spool::MaildropAwaitsRecovery(mailbox_->path())) {
    commitProblem_ = mailbox_->path() + " (" + logtext::kAwaitsRecovery + ")";
    return CommitResult::kFailed;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::uint32_t validity = 0;
    const std::vector<std::uint32_t> uids = deletedUids(validity);
    const std::optional<bool> expunged = mailbox_->expungeUnder(validity, uids);
    if (!expunged) continue;  // numbered anew between the two steps: once more
    if (*expunged) return CommitResult::kCommitted;
    commitProblem_ = mailbox_->indexPath() + " (" + platform::LastFileErrorText() + ")";
    return CommitResult::kFailed;
  }
  commitProblem_ = mailbox_->path() + " (" + logtext::kRenumbered + ")";
  return CommitResult::kFailed;
}

}  // namespace quelma::pop3_server
