// Message intake: dot removal and CR LF endings while receiving, then the local copies
// (without "From " lines; the boss copy with " [BOSS COPY]" subjects) and the queue file.
#include "smtp_server/message_intake.h"

#include "platform/line_reader.h"
#include "platform/text.h"
#include "platform/unique_tick.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"

namespace quelma::smtp_server {
namespace {

constexpr std::size_t kFlushAt = 64 * 1024;
constexpr std::size_t kCopyLine = 4096;  // stored lines hold at most 1199 bytes and CR LF

}  // namespace

MessageIntake::MessageIntake(const config::Configuration& config, const Envelope& envelope)
    : config_(config),
      envelope_(envelope),
      tick_(platform::ProcessUniqueTicks().next()),
      workPath_(config.QueueDir + "smtps.tmp") {}

MessageIntake::~MessageIntake() {
  if (work_) {
    work_.reset();
    platform::RemoveFile(workPath_);
  }
}

bool MessageIntake::begin() {
  work_ = platform::OutputFile::Create(workPath_, platform::CreateMode::kTruncate);
  if (!work_) {
    failed_ = true;  // the text is still read to its end; finish() then stores nothing
    return false;
  }
  const std::string envelope = spool::FormatEnvelope(envelope_.sender, envelope_.outgoing);
  envelopeSize_ = envelope.size();
  return write(envelope);
}

bool MessageIntake::write(std::string_view bytes) {
  buffer_ += bytes;
  if (buffer_.size() >= kFlushAt) {
    failed_ = failed_ || !work_->write(buffer_);
    buffer_.clear();
  }
  return !failed_;
}

// A line longer than a piece is stored whole, piece after piece; only its end is looked at.
bool MessageIntake::addPiece(std::string_view piece) {
  const bool lineStart = atLineStart_;
  const bool crBefore = crEnded_;  // the line's previous piece ended with CR
  atLineStart_ = piece.ends_with('\n');
  crEnded_ = piece.ends_with('\r');
  if (lineStart && piece == ".\r\n") return true;
  if (lineStart && piece.starts_with("..")) piece.remove_prefix(1);
  const bool bareLineFeed = piece.ends_with('\n') && !piece.ends_with("\r\n") && !(piece == "\n" && crBefore);
  if (bareLineFeed) {
    write(piece.substr(0, piece.size() - 1));
    write("\r\n");
  } else {
    write(piece);
  }
  return false;
}

bool MessageIntake::copyMessage(spool::MaildropTextWriter& out, bool bossCopy) {
  auto in = platform::InputFile::Open(workPath_);
  if (!in || !in->seek(envelopeSize_)) return false;
  platform::LineReader reader(*in, kCopyLine);
  std::string line, chunk;
  bool lineStart = true;
  while (reader.next(line)) {
    const bool starts = lineStart;
    lineStart = line.ends_with('\n');
    if (bossCopy && starts && line.starts_with("Subject: ") && line.ends_with("\r\n")) {
      line.replace(line.size() - 2, 2, " [BOSS COPY]\r\n");
    }
    chunk += line;
    if (chunk.size() >= kFlushAt) {
      if (!out.write(chunk)) return false;
      chunk.clear();
    }
  }
  return !in->failed() && out.write(chunk);
}

// A maildrop that cannot be opened is skipped; one that cannot be written fails the message.
bool MessageIntake::deliverLocally() {
  auto copy = [this](const std::string& user, bool bossCopy) {
    const std::string path = spool::MaildropPath(config_, user);
    spool::AppendReceipt receipt;
    const auto result = spool::AppendToMaildropWith(
        path, spool::NewSeparatorLine(),
        [this, bossCopy](spool::MaildropTextWriter& out) { return copyMessage(out, bossCopy); }, true, &receipt);
    if (result == spool::AppendResult::kAppended) copies_.emplace_back(path, receipt);
    return result != spool::AppendResult::kWriteFailed;
  };
  bool bossServed = false;
  for (const std::string& name : envelope_.local) {
    if (!config_.Boss.empty() && platform::EqualsIgnoreAsciiCase(name, config_.Boss)) bossServed = true;
    if (!copy(name, false)) return false;
  }
  return config_.Boss.empty() || bossServed || copy(config_.Boss, true);
}

void MessageIntake::takeBackLocalCopies() {
  for (auto it = copies_.rbegin(); it != copies_.rend(); ++it) spool::TakeBackAppend(it->first, it->second);
  copies_.clear();
}

std::optional<MessageIntake::Stored> MessageIntake::finish() {
  if (!buffer_.empty()) failed_ = failed_ || !work_->write(buffer_);
  buffer_.clear();
  const bool written = !failed_ && work_->sync() && work_->close();
  work_.reset();
  Stored stored{spool::QueueFileName(tick_), !envelope_.outgoing.empty()};
  // Every copy or none: a message the client will send again must not stay half delivered.
  if (!written || !deliverLocally()) {
    takeBackLocalCopies();
    platform::RemoveFile(workPath_);
    return std::nullopt;
  }
  if (!stored.queued) {
    platform::RemoveFile(workPath_);
    return stored;
  }
  const auto name = spool::PublishQueueFile(workPath_, config_.QueueDir, tick_);
  if (!name) {
    takeBackLocalCopies();
    platform::RemoveFile(workPath_);
    return std::nullopt;
  }
  stored.name = *name;
  return stored;
}

std::string MessageIntake::plannedName() const { return spool::QueueFileName(tick_); }

void MessageIntake::withdraw(const Stored& stored) {
  if (stored.queued) platform::RemoveFile(queuePath(stored.name));
}

}  // namespace quelma::smtp_server
