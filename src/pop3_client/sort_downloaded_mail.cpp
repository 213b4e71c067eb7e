// The sorting run over "mail.txt", one message at a time through a work file.
#include "pop3_client/sort_downloaded_mail.h"

#include <algorithm>

#include "platform/files.h"
#include "platform/line_reader.h"
#include "platform/text.h"
#include "platform/unique_tick.h"
#include "pop3_client/sorter_matching.h"
#include "spool/download_files.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"

namespace quelma::pop3_client {
namespace {

constexpr std::size_t kPiece = 998;
constexpr std::size_t kMaxHeaderBlock = 1 << 20;  // more header than this is not searched
constexpr std::size_t kFlushAt = 64 * 1024;

std::string Number(int n) { return std::to_string(n); }

class Sorter {
 public:
  Sorter(const SortContext& c, bool byRules, const std::string& deliverTo)
      : c_(c), byRules_(byRules), deliverTo_(deliverTo), mailTxt_(spool::MailTxtPath(c.programDir)),
        work_(c.programDir + "sorter.tmp") {}
  SortResult run();

 private:
  enum class Read { kMessage, kEnd, kFailed };
  Read readMessage(platform::LineReader& reader, std::uint64_t& consumed);
  bool deliver(const std::string& user);
  bool copyTo(const std::string& user);
  bool deliverToFallback();
  bool relay(const std::vector<std::string>& addresses);
  bool copyWork(platform::OutputFile& out);
  bool handle();
  bool handleByRules();
  void takeBackCopies();
  SortResult stop(std::uint64_t from);
  void log(const std::string& text) { c_.log.LogPop3Client(text); }

  const SortContext& c_;
  bool byRules_;
  std::string deliverTo_;
  std::string mailTxt_, work_;
  SorterRuleTable rules_;
  std::string header_;
  int number_ = 0;
  // The copies of the current message so far: taken back when another of its copies fails,
  // so that the message, kept for the next run, is not delivered twice.
  std::vector<std::pair<std::string, spool::AppendReceipt>> copies_;
};

// Copies the next message into the work file: its transparency dots removed, every line
// ending CR LF, up to the line "." (not copied). `consumed` counts the bytes of "mail.txt".
Sorter::Read Sorter::readMessage(platform::LineReader& reader, std::uint64_t& consumed) {
  auto out = platform::OutputFile::Create(work_, platform::CreateMode::kTruncate);
  if (!out) return Read::kFailed;
  header_.clear();
  bool any = false, lineStart = true, inHeader = true, crBefore = false;
  std::string piece, buffer;
  while (reader.next(piece)) {
    consumed += piece.size();
    const bool starts = lineStart;
    const bool pieceAfterCr = crBefore;
    lineStart = piece.ends_with('\n');
    crBefore = piece.ends_with('\r');
    if (starts && (piece == ".\r\n" || piece == ".\n")) return out->write(buffer) && out->close() ? Read::kMessage : Read::kFailed;
    any = true;
    std::string_view text = piece;
    if (starts && text.starts_with("..")) text.remove_prefix(1);
    std::string line(text);
    // A bare line feed gets its CR, unless the CR ended the piece before (a line cut at the
    // reader's cap just before its line feed).
    const bool crLf = line.ends_with("\r\n") || (line == "\n" && pieceAfterCr);
    if (line.ends_with('\n') && !crLf) line.insert(line.size() - 1, "\r");
    if (starts && (line[0] == '\r' || line[0] == '\n')) inHeader = false;
    if (inHeader && header_.size() < kMaxHeaderBlock) header_ += line;
    buffer += line;
    if (buffer.size() >= kFlushAt) {
      if (!out->write(buffer)) return Read::kFailed;
      buffer.clear();
    }
  }
  // A last message without its dot line (a download cut short) is still delivered.
  if (!out->write(buffer) || !out->close()) return Read::kFailed;
  return any ? Read::kMessage : Read::kEnd;
}

bool Sorter::copyWork(platform::OutputFile& out) {
  auto in = platform::InputFile::Open(work_);
  return in && platform::CopyToEnd(*in, out);
}

bool Sorter::deliver(const std::string& user) {
  if (!copyTo(user)) return false;
  log("Сообщение #" + Number(number_) + " для " + user + "\r\n");
  return true;
}

// A copy that cannot be written stops the run: the message stays for the next one.
bool Sorter::copyTo(const std::string& user) {
  const std::string path = spool::MaildropPath(c_.config, user);
  spool::AppendReceipt receipt;
  const auto result = spool::AppendToMaildropWith(
      path, spool::NewSeparatorLine(),
      [this](spool::MaildropTextWriter& out) {
        auto in = platform::InputFile::Open(work_);
        return in && spool::WriteFileText(*in, out);
      },
      true, &receipt);
  if (result != spool::AppendResult::kAppended) {
    log("Не могу записать сообщение #" + Number(number_) + " в почтовый ящик \"" + user + "\" (" +
        (result == spool::AppendResult::kCannotOpen ? "файл не открывается" : "ошибка записи") +
        "): сообщение остается до следующего сеанса\r\n");
    return false;
  }
  copies_.emplace_back(path, receipt);
  return true;
}

bool Sorter::deliverToFallback() {
  const std::string& list = c_.config.UNDISCLOSED_MAIL_TO.empty() ? c_.config.PostMaster : c_.config.UNDISCLOSED_MAIL_TO;
  log("Сообщение #" + Number(number_) + " для " + list + "\r\n");
  std::string_view items = list;
  while (!items.empty()) {
    const std::size_t comma = items.find(',');
    const std::string name(platform::Cut(items.substr(0, comma), 65));
    items = comma == std::string_view::npos ? std::string_view() : items.substr(comma + 1);
    if (!name.empty() && !copyTo(name)) return false;
  }
  return true;
}

void Sorter::takeBackCopies() {
  for (auto it = copies_.rbegin(); it != copies_.rend(); ++it) spool::TakeBackAppend(it->first, it->second);
  copies_.clear();
}

// False when the queue file could not be made: the message stays for the next run.
bool Sorter::relay(const std::vector<std::string>& addresses) {
  const auto sender = RelaySender(header_);
  if (!sender) {
    log("Сообщение #" + Number(number_) + " невозможно переслать - не определен адрес отправителя\r\n");
    return true;
  }
  const std::string temporary = c_.config.QueueDir + "sorter.tmp";
  auto out = platform::OutputFile::Create(temporary, platform::CreateMode::kTruncate);
  std::string list;
  for (const auto& a : addresses) list += (list.empty() ? "" : ",") + a;
  const bool written = out && out->write(spool::FormatEnvelope(*sender, addresses)) && copyWork(*out) &&
                       out->sync() && out->close();
  if (!written || !spool::PublishQueueFile(temporary, c_.config.QueueDir, platform::ProcessUniqueTicks().next())) {
    out.reset();
    platform::RemoveFile(temporary);
    log("ERROR - unable to create output file for relaying message\r\n");
    return false;
  }
  log("Сообщение #" + Number(number_) + " пересылается " + list + "\r\n");
  return true;
}

// False when the run has to stop: a copy the message must get could not be made. Every copy
// made of it is taken back then.
bool Sorter::handle() {
  ++number_;
  copies_.clear();
  const bool done = byRules_ ? handleByRules() : deliver(deliverTo_);
  if (!done) takeBackCopies();
  return done;
}

bool Sorter::handleByRules() {
  if (rules_.empty()) return deliverToFallback();
  const RuleMatch match = MatchSorterRules(header_, rules_, c_.config);
  const bool reachesSomeone =
      !match.relay.empty() || std::find(match.users.begin(), match.users.end(), true) != match.users.end();
  // A match that names no existing user and no outside address would reach nobody.
  if (!match.matched || !reachesSomeone) return deliverToFallback();
  for (std::size_t i = 0; i < match.users.size(); ++i) {
    if (match.users[i] && !deliver(c_.config.users[i].name)) return false;
  }
  return match.relay.empty() || relay(match.relay);
}

// The messages before `from` are delivered: "mail.txt" keeps only the rest, or else a mark
// says where the rest begins.
SortResult Sorter::stop(std::uint64_t from) {
  platform::RemoveFile(work_);
  spool::ForgetMailTxtMark(c_.programDir);
  if (!spool::KeepMailTxtFrom(c_.programDir, from) && from > 0 && !spool::MarkMailTxtSorted(c_.programDir, from)) {
    log("Не могу отметить отсортированные сообщения в mail.txt: они будут доставлены еще раз\r\n");
  }
  return SortResult::kStopped;
}

SortResult Sorter::run() {
  auto in = platform::InputFile::Open(mailTxt_);
  if (!in) return SortResult::kNothing;
  if (byRules_) {
    auto rules = ReadSorterRules(c_.sorter);
    if (!rules) {
      log("Не могу прочитать файл sorter.cfg: почта остается в mail.txt до следующего сеанса\r\n");
      return SortResult::kStopped;
    }
    rules_ = std::move(*rules);
  }
  std::uint64_t handled = spool::MailTxtSortedUpTo(c_.programDir), consumed = handled;
  if (handled > 0 && !in->seek(handled)) return SortResult::kStopped;
  platform::LineReader reader(*in, kPiece);
  for (;;) {
    const Read read = readMessage(reader, consumed);
    if (read == Read::kEnd) break;
    if (read == Read::kFailed || !handle()) {
      in.reset();
      return stop(handled);
    }
    handled = consumed;
  }
  in.reset();
  platform::RemoveFile(work_);
  spool::ForgetMailTxtMark(c_.programDir);
  if (!spool::RemoveMailTxt(c_.programDir) && !spool::MarkMailTxtSorted(c_.programDir, handled)) {
    log("Не могу удалить mail.txt: его сообщения будут доставлены еще раз\r\n");
  }
  return SortResult::kSorted;
}

}  // namespace

SortResult SortDownloadedMail(const SortContext& context, bool byRules, const std::string& deliverTo) {
  Sorter sorter(context, byRules, deliverTo);
  return sorter.run();
}

}  // namespace quelma::pop3_client
