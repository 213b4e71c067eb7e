// Message intake: dot removal and CR LF endings while receiving, then the local copies
// (without "From " lines; the boss copy with " [BOSS COPY]" subjects) and the queue file.
#include "smtp_server/message_intake.h"

#include "platform/line_reader.h"
#include "platform/text.h"
#include "platform/unique_tick.h"
#include "spool/delivery.h"
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
      // Each intake has a work file of its own: several clients hand in mail at once.
      workPath_(config.QueueDir + "smtps-" + spool::QueueFileName(tick_) + ".tmp") {}

MessageIntake::~MessageIntake() {
  if (work_) {
    work_.reset();
    platform::RemoveFile(workPath_);
  }
}

bool MessageIntake::begin() {
  work_ = platform::OutputFile::Create(workPath_, platform::CreateMode::kTruncate);
  if (!work_) {
    fail(workPath_);  // the text is still read to its end; finish() then stores nothing
    return false;
  }
  const std::string envelope = spool::FormatEnvelope(envelope_.sender, envelope_.outgoing);
  envelopeSize_ = envelope.size();
  return write(envelope);
}

void MessageIntake::fail(const std::string& path) { failWith(path + ": " + platform::LastFileErrorText()); }

void MessageIntake::failWith(const std::string& text) {
  if (failure_.empty()) failure_ = text;
  failed_ = true;
}

bool MessageIntake::write(std::string_view bytes) {
  buffer_ += bytes;
  if (buffer_.size() >= kFlushAt) {
    if (!failed_ && !work_->write(buffer_)) fail(workPath_);
    buffer_.clear();
  }
  return !failed_;
}

// A line longer than a piece is stored whole, piece after piece.
bool MessageIntake::addPiece(std::string_view piece) {
  unstuffer_.add(piece, [this](std::string_view text) { write(text); });
  return unstuffer_.ended();
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
// The maildrops of the local recipients, then the boss's (for a marked copy) unless the boss
// is among them.
std::vector<MessageIntake::LocalCopy> MessageIntake::localCopies() const {
  std::vector<LocalCopy> copies;
  bool bossServed = false;
  for (const std::string& name : envelope_.local) {
    if (!config_.Boss.empty() && platform::EqualsIgnoreAsciiCase(name, config_.Boss)) bossServed = true;
    copies.push_back({spool::MaildropPath(config_, name), false, spool::NewSeparatorLine()});
  }
  if (!config_.Boss.empty() && !bossServed) {
    copies.push_back({spool::MaildropPath(config_, config_.Boss), true, spool::NewSeparatorLine()});
  }
  return copies;
}

// The bytes each copy adds to its maildrop, separator line included; nothing when the message
// could not be read.
std::optional<std::vector<std::uint64_t>> MessageIntake::copySizes(const std::vector<LocalCopy>& copies) {
  std::vector<std::uint64_t> sizes;
  for (const LocalCopy& copy : copies) {
    std::uint64_t counted = copy.separator.size();
    spool::MaildropTextWriter counter(counted);
    if (!copyMessage(counter, copy.bossCopy) || !counter.finish()) return std::nullopt;
    sizes.push_back(counted);
  }
  return sizes;
}

// A maildrop that cannot be opened is skipped; one that cannot be written fails the message.
bool MessageIntake::deliverLocally(const std::vector<LocalCopy>& copies) {
  for (const LocalCopy& copy : copies) {
    const std::string& path = copy.path;
    const auto result = spool::AppendToMaildropWith(
        path, copy.separator,
        [this, bossCopy = copy.bossCopy](spool::MaildropTextWriter& out) { return copyMessage(out, bossCopy); }, false);
    if (result == spool::AppendResult::kWriteFailed || result == spool::AppendResult::kTornTail) {
      fail(path);
      return false;
    }
  }
  return true;
}

// Every copy and the queue file, or none of them, whatever instant the program stops at: a
// message the client will send again must not stay half delivered.
std::optional<MessageIntake::Stored> MessageIntake::finish() {
  if (!buffer_.empty() && !failed_ && !work_->write(buffer_)) fail(workPath_);
  buffer_.clear();
  // A message for local maildrops alone is made durable there; only a queue file keeps this copy.
  const bool queued = !envelope_.outgoing.empty();
  if (!failed_ && !((!queued || work_->sync()) && work_->close())) fail(workPath_);
  const bool written = !failed_;
  work_.reset();
  Stored stored{spool::QueueFileName(tick_), !envelope_.outgoing.empty()};
  if (!written) {
    platform::RemoveFile(workPath_);
    return std::nullopt;
  }
  const auto copies = localCopies();
  std::vector<std::string> maildrops;
  for (const auto& copy : copies) maildrops.push_back(copy.path);
  const auto sizes = copySizes(copies);
  spool::Delivery delivery(config_);
  if (stored.queued) delivery.willPublish(workPath_, tick_);
  const bool journaled = sizes && delivery.willAppend(maildrops, *sizes);
  const bool delivered = journaled && deliverLocally(copies);
  const auto names = delivered ? delivery.commit() : std::nullopt;
  if (!names) {
    if (!delivery.problem().empty()) failWith(delivery.problem());
    fail(config_.MailDropDir);
    delivery.rollback();
    // A staged work file is the delivery's: removed by its undo, or kept for its recovery.
    if (!stored.queued) platform::RemoveFile(workPath_);
    return std::nullopt;
  }
  if (delivery.unfinished()) unfinished_ = delivery.problem();
  if (stored.queued) {
    stored.name = names->front();
  } else {
    platform::RemoveFile(workPath_);
  }
  return stored;
}

std::string MessageIntake::plannedName() const { return spool::QueueFileName(tick_); }

void MessageIntake::withdraw(const Stored& stored) {
  if (stored.queued) platform::RemoveFile(queuePath(stored.name));
}

}  // namespace quelma::smtp_server
