// Sorting files of downloaded mail, one message at a time through a work file, each file as
// one delivery.
#include "pop3_client/sort_downloaded_mail.h"

#include <algorithm>
#include <optional>

#include "platform/files.h"
#include "platform/line_reader.h"
#include "platform/text.h"
#include "platform/unique_tick.h"
#include "pop3_client/sorter_matching.h"
#include "spool/delivery.h"
#include "spool/download_files.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"
#include "spool/uid_ledger.h"

namespace quelma::pop3_client {
namespace {

constexpr std::size_t kPiece = 998;
constexpr std::size_t kMaxHeaderBlock = 1 << 20;  // more header than this is not searched
constexpr std::size_t kFlushAt = 64 * 1024;

std::string Number(int n) { return std::to_string(n); }

class Sorter {
 public:
  // `number` counts the messages of the whole sorting run, across its files, for the log.
  Sorter(const SortContext& c, const std::string& path, const SorterRuleTable* rules, const std::string& deliverTo,
         int& number)
      : c_(c), path_(path), rules_(rules), deliverTo_(deliverTo), work_(c.programDir + "sorter.tmp"), number_(number) {}
  SortResult run();

 private:
  enum class Read { kMessage, kEnd, kFailed };
  Read readMessage(platform::LineReader& reader, std::uint64_t& consumed);
  bool deliver(const std::string& user);
  bool copyTo(const std::string& user);
  bool deliverToFallback();
  bool relay(const std::vector<std::string>& addresses);
  bool handle();
  bool handleByRules();
  void log(const std::string& text) { c_.log.LogPop3Client(text); }

  const SortContext& c_;
  std::string path_;
  const SorterRuleTable* rules_;  // nothing: everything to deliverTo_
  std::string deliverTo_;
  std::string work_;
  std::optional<spool::Delivery> delivery_;
  std::string header_;
  int& number_;
};

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

bool Sorter::deliver(const std::string& user) {
  if (!copyTo(user)) return false;
  log("Сообщение #" + Number(number_) + " для " + user + "\r\n");
  return true;
}

// A copy that cannot be written stops the sorting: the file, with this message, waits for
// the next run, and nothing of it stays delivered.
bool Sorter::copyTo(const std::string& user) {
  const std::string path = spool::MaildropPath(c_.config, user);
  if (!delivery_->willAppend({path})) {
    log("Не могу записать журнал доставки: сортировка отложена до следующего сеанса\r\n");
    return false;
  }
  const auto result = spool::AppendToMaildropWith(
      path, spool::NewSeparatorLine(),
      [this](spool::MaildropTextWriter& out) {
        auto in = platform::InputFile::Open(work_);
        return in && spool::WriteFileText(*in, out);
      },
      false);
  if (result == spool::AppendResult::kAppended) return true;
  log("Не могу записать сообщение #" + Number(number_) + " в почтовый ящик \"" + user + "\" (" +
      (result == spool::AppendResult::kCannotOpen ? "файл не открывается: " : "ошибка записи: ") +
      platform::LastFileErrorText() +
      "): сообщение остается до следующего сеанса\r\n");
  return false;
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

// The relayed copy is staged under a name of its own and becomes a queue file when the whole
// file of downloaded mail is delivered. False when it could not be written.
bool Sorter::relay(const std::vector<std::string>& addresses) {
  const auto sender = RelaySender(header_);
  if (!sender) {
    log("Сообщение #" + Number(number_) + " невозможно переслать - не определен адрес отправителя\r\n");
    return true;
  }
  const std::uint32_t tick = platform::ProcessUniqueTicks().next();
  const std::string staged = c_.config.QueueDir + "sorter-" + spool::QueueFileName(tick) + ".tmp";
  auto out = platform::OutputFile::Create(staged, platform::CreateMode::kTruncate);
  auto in = platform::InputFile::Open(work_);
  std::string list;
  for (const auto& a : addresses) list += (list.empty() ? "" : ",") + a;
  const bool written = out && in && out->write(spool::FormatEnvelope(*sender, addresses)) &&
                       platform::CopyToEnd(*in, *out) && out->sync() && out->close();
  if (!written) {
    out.reset();
    platform::RemoveFile(staged);
    log("ERROR - unable to create output file for relaying message\r\n");
    return false;
  }
  delivery_->willPublish(staged, tick);
  log("Сообщение #" + Number(number_) + " пересылается " + list + "\r\n");
  return true;
}

bool Sorter::handle() {
  ++number_;
  return rules_ ? handleByRules() : deliver(deliverTo_);
}

bool Sorter::handleByRules() {
  if (rules_->empty()) return deliverToFallback();
  const RuleMatch match = MatchSorterRules(header_, *rules_, c_.config);
  const bool reachesSomeone =
      !match.relay.empty() || std::find(match.users.begin(), match.users.end(), true) != match.users.end();
  // A match that names no existing user and no outside address would reach nobody.
  if (!match.matched || !reachesSomeone) return deliverToFallback();
  for (std::size_t i = 0; i < match.users.size(); ++i) {
    if (match.users[i] && !deliver(c_.config.users[i].name)) return false;
  }
  return match.relay.empty() || relay(match.relay);
}

SortResult Sorter::run() {
  auto in = platform::InputFile::Open(path_);
  if (!in) return SortResult::kNothing;
  delivery_.emplace(c_.config);
  delivery_->consumes(path_);
  platform::LineReader reader(*in, kPiece);
  std::uint64_t consumed = 0;
  for (;;) {
    const Read read = readMessage(reader, consumed);
    if (read == Read::kEnd) break;
    if (read == Read::kFailed || !handle()) {
      delivery_->rollback();
      platform::RemoveFile(work_);
      return SortResult::kStopped;
    }
  }
  in.reset();
  platform::RemoveFile(work_);
  if (!delivery_->commit()) {
    log("Не могу завершить доставку: почта остается до следующего сеанса\r\n");
    return SortResult::kStopped;
  }
  return SortResult::kSorted;
}

// Where a waiting file goes: its account's deliverTo, or the rules.
std::string DeliverToOf(const config::Configuration& config, const spool::WaitingMail& mail) {
  if (!mail.accountKey) return "*";
  for (const auto& account : config.accounts) {
    if (spool::AccountKey(account.server, account.login) == *mail.accountKey) return account.deliverTo;
  }
  return "*";
}

SortResult SortFile(const SortContext& context, const std::string& path, bool byRules, const std::string& deliverTo,
                    int& number) {
  std::optional<SorterRuleTable> rules;
  if (byRules) {
    rules = ReadSorterRules(context.sorter);
    if (!rules) {
      context.log.LogPop3Client("Не могу прочитать файл sorter.cfg: почта остается до следующего сеанса\r\n");
      return SortResult::kStopped;
    }
  }
  Sorter sorter(context, path, rules ? &*rules : nullptr, deliverTo, number);
  return sorter.run();
}

}  // namespace

SortResult SortMailFile(const SortContext& context, const std::string& path, bool byRules,
                        const std::string& deliverTo) {
  int number = 0;
  return SortFile(context, path, byRules, deliverTo, number);
}

SortResult SortDownloadedMail(const SortContext& context) {
  spool::SettleLedgers(context.programDir);
  const auto waiting = spool::ListWaitingMail(context.programDir);
  if (waiting.empty()) return SortResult::kNothing;
  int number = 0;
  for (const auto& mail : waiting) {
    const std::string deliverTo = DeliverToOf(context.config, mail);
    if (SortFile(context, mail.path, deliverTo.starts_with('*'), deliverTo, number) == SortResult::kStopped) {
      return SortResult::kStopped;
    }
  }
  return SortResult::kSorted;
}

}  // namespace quelma::pop3_client
