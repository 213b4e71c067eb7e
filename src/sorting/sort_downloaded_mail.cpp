// Sorting files of downloaded mail, several files of one account as one delivery; every
// copy of a message is read straight from its file.
#include "sorting/sort_downloaded_mail.h"

#include <algorithm>
#include <optional>
#include <shared_mutex>

#include "platform/cp1251_utf8.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/unique_tick.h"
#include "config/list_setting.h"
#include "sorting/message_header.h"
#include "sorting/recent_message_ids.h"
#include "sorting/sorter_matching.h"
#include "spool/delivery.h"
#include "spool/download_files.h"
#include "spool/download_text.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"
#include "spool/uid_ledger.h"
#include "spool/user_folders.h"

namespace quelma::sorting {
namespace {

constexpr std::size_t kWriteAt = 64 * 1024;
// Files of one account are delivered together up to about this size: one journal entry and
// one sync of each maildrop for all of them.
constexpr std::uint64_t kDeliveryBytes = 64 << 20;

std::string Number(int n) { return std::to_string(n); }

// What relayed copies carry in their X-Loop line: the office's domain.
std::string LoopMark(const config::Configuration& config) {
  return config.LocalDomain.empty() ? std::string("localhost") : config.LocalDomain;
}

// Why a message must not be relayed again, or empty: it has passed through this office
// before (our X-Loop), or a program sent it by itself (an auto-reply, a notice).
std::string NoRelayReason(const MessageHeader& header, const config::Configuration& config) {
  const std::string mark = platform::ToLowerCp1251(LoopMark(config));
  for (const std::string& value : header.values("X-Loop")) {
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t");
    if (first != std::string::npos && platform::ToLowerCp1251(value.substr(first, last - first + 1)) == mark) {
      return "X-Loop: " + platform::Printable(value.substr(first), 100);
    }
  }
  for (const std::string& value : header.values("Auto-Submitted")) {
    std::string word = platform::ToLowerAscii(value);
    word.erase(0, word.find_first_not_of(" \t"));
    word = word.substr(0, word.find_first_of(" \t;("));
    if (word != "no") return "Auto-Submitted:" + platform::Printable(value, 100);
  }
  return {};
}

class Sorter {
 public:
  // `number` counts the messages of the whole sorting run, across its files, for the log.
  Sorter(const SortContext& c, std::vector<std::string> paths, const SorterRuleTable* rules,
         const std::string& deliverTo, int& number, RecentMessageIds& ids)
      : c_(c), paths_(std::move(paths)), rules_(rules), deliverTo_(deliverTo), number_(number), ids_(ids) {}
  SortResult run();

 private:
  // Writes the current message's text through the given taker; false when reading or taking failed.
  using WriteText = std::function<bool(const spool::DownloadedText::Take&)>;
  bool deliver(const std::string& user, const WriteText& text);
  bool deliverToFolder(const FolderRecipient& folder, const WriteText& text);
  enum class Copy { kWritten, kDuplicate, kFailed };
  // `name`: the user, or "user/folder"; `path`: its mailbox file.
  Copy copyTo(const std::string& name, const std::string& path, const WriteText& text);
  bool deliverToFallback(const WriteText& text);
  bool relay(const std::vector<std::string>& addresses, const WriteText& text);
  bool handle(spool::DownloadedText& text);
  bool handleByRules(const MessageHeader& header, const WriteText& text);
  bool readAgain(std::uint64_t offset, const spool::DownloadedText::Take& take);
  bool sortFile();
  void log(const std::string& text) { c_.log.write(c_.source, text); }

  const SortContext& c_;
  std::vector<std::string> paths_;
  std::string path_;  // the file being sorted
  const SorterRuleTable* rules_;  // nothing: everything to deliverTo_
  std::string deliverTo_;
  std::optional<spool::Delivery> delivery_;
  std::string header_;
  bool readFailed_ = false;  // the file of downloaded mail could not be read
  platform::InputFile* input_ = nullptr;  // the file being sorted
  std::string kept_;  // the text of the message being sorted, when it is not too long to keep
  static constexpr std::size_t kKeptText = 4 << 20;
  int& number_;
  RecentMessageIds& ids_;
  std::string messageId_;  // of the message being sorted, or empty
};

bool Sorter::deliver(const std::string& user, const WriteText& text) {
  const Copy copy = copyTo(user, spool::MaildropPath(c_.config, user), text);
  if (copy == Copy::kWritten) log("Сообщение #" + Number(number_) + " для " + user + "\r\n");
  return copy != Copy::kFailed;
}

// Into a folder of the user, made when it is not there yet (the special-use ones with it); a
// folder that cannot be made has the message go to the user's INBOX instead.
bool Sorter::deliverToFolder(const FolderRecipient& folder, const WriteText& text) {
  const std::string inbox = spool::MaildropPath(c_.config, folder.user);
  std::string refusal;
  const auto path = spool::MakeSpecialUseFolders(inbox)
                        ? spool::FolderPath(inbox, platform::Cp1251ToUtf8(folder.folder), &refusal)
                        : std::nullopt;
  const std::string name = folder.user + "/" + folder.folder;
  if (!path) {
    log("Папка \"" + name + "\" не может быть создана (" + (refusal.empty() ? platform::LastFileErrorText() : refusal) +
        "): сообщение #" + Number(number_) + " доставляется во входящие\r\n");
    return deliver(folder.user, text);
  }
  const Copy copy = copyTo(name, *path, text);
  if (copy == Copy::kWritten) log("Сообщение #" + Number(number_) + " для " + name + "\r\n");
  return copy != Copy::kFailed;
}

// A copy that cannot be written stops the sorting: the file, with this message, waits for
// the next run, and nothing of it stays delivered. A message the user has had within the
// day (the same Message-ID) is not delivered again.
Sorter::Copy Sorter::copyTo(const std::string& user, const std::string& path, const WriteText& text) {
  if (!messageId_.empty() && ids_.delivered(user, messageId_)) {
    log("Сообщение #" + Number(number_) + " для " + user + " уже доставлено (Message-ID " +
        platform::Printable(messageId_, 100) + "): повтор не доставляется\r\n");
    return Copy::kDuplicate;
  }
  if (!delivery_->willAppend({path})) {
    if (delivery_->busy()) return Copy::kFailed;  // the whole group is begun again
    // The journal could not be written, or an earlier delivery could not be finished.
    log("Не могу начать доставку (" + delivery_->problem() + "): сортировка отложена до следующего сеанса\r\n");
    return Copy::kFailed;
  }
  const auto result = spool::AppendToMaildropWith(
      path, spool::NewSeparatorLine(),
      [&text](spool::MaildropTextWriter& out) {
        return text([&out](std::string_view bytes) { return out.write(bytes); });
      },
      false);
  if (result == spool::AppendResult::kAppended) {
    if (!messageId_.empty()) ids_.willDeliver(user, messageId_);
    return Copy::kWritten;
  }
  if (readFailed_) {
    log("Не могу прочитать файл \"" + path_ + "\" (" + platform::LastFileErrorText() +
        "): почта остается до следующего сеанса\r\n");
    return Copy::kFailed;
  }
  log("Не могу записать сообщение #" + Number(number_) + " в почтовый ящик \"" + user + "\" (" +
      (result == spool::AppendResult::kCannotOpen ? "файл не открывается: " : "ошибка записи: ") +
      platform::LastFileErrorText() +
      "): сообщение остается до следующего сеанса\r\n");
  return Copy::kFailed;
}

bool Sorter::deliverToFallback(const WriteText& text) {
  const std::string& list = c_.config.UNDISCLOSED_MAIL_TO.empty() ? c_.config.PostMaster : c_.config.UNDISCLOSED_MAIL_TO;
  log("Сообщение #" + Number(number_) + " для " + list + "\r\n");
  for (const std::string& item : config::ListItems(list)) {
    const std::string name(platform::Cut(item, kMaxFallbackName));
    if (copyTo(name, spool::MaildropPath(c_.config, name), text) == Copy::kFailed) return false;
  }
  return true;
}

// The relayed copy is staged under a name of its own and becomes a queue file when the whole
// file of downloaded mail is delivered. False when it could not be written.
bool Sorter::relay(const std::vector<std::string>& addresses, const WriteText& text) {
  const auto sender = RelaySender(header_);
  if (!sender) {
    log("Сообщение #" + Number(number_) + " невозможно переслать - не определен адрес отправителя\r\n");
    return true;
  }
  const std::uint32_t tick = platform::ProcessUniqueTicks().next();
  const std::string staged = c_.config.QueueDir + "sorter-" + spool::QueueFileName(tick) + ".tmp";
  auto out = platform::OutputFile::Create(staged, platform::CreateMode::kTruncate);
  std::string list;
  for (const auto& a : addresses) list += (list.empty() ? "" : ",") + a;
  // The X-Loop line tells this office the copy again should it come back.
  std::string buffer = out ? spool::FormatEnvelope(*sender, addresses) + "X-Loop: " + LoopMark(c_.config) + "\r\n"
                           : std::string();
  const auto take = [&](std::string_view bytes) {
    buffer += bytes;
    if (buffer.size() < kWriteAt) return true;
    const bool ok = out->write(buffer);
    buffer.clear();
    return ok;
  };
  const bool written = out && text(take) && out->write(buffer) && out->sync() && out->close();
  if (!written) {
    const std::string reason = platform::LastFileErrorText();
    out.reset();
    platform::RemoveFile(staged);
    log(readFailed_ ? "Не могу прочитать файл \"" + path_ + "\" (" + reason + "): почта остается до следующего сеанса\r\n"
                    : "ERROR - unable to create output file for relaying message \"" + staged + "\" (" + reason + ")\r\n");
    return false;
  }
  delivery_->willPublish(staged, tick);
  log("Сообщение #" + Number(number_) + " пересылается " + list + "\r\n");
  return true;
}

// The message at `offset` once more, for another of its copies.
bool Sorter::readAgain(std::uint64_t offset, const spool::DownloadedText::Take& take) {
  auto in = platform::InputFile::Open(path_);
  if (!in || !in->seek(offset)) {
    readFailed_ = true;
    return false;
  }
  spool::DownloadedText again(*in, offset);
  const bool whole = again.next(take) == spool::DownloadedText::Next::kMessage;
  readFailed_ = in->failed();
  return whole && !readFailed_;
}

// The next message: its header is read first (the rules and the Message-ID need it), then
// each copy from the file.
bool Sorter::handle(spool::DownloadedText& text) {
  ++number_;
  const std::uint64_t offset = text.offset();
  // A message of usual size is kept from this reading for its copies; a longer one is read
  // again for each.
  kept_.clear();
  bool keptWhole = true;
  text.next([this, &keptWhole](std::string_view bytes) {
    if (keptWhole && kept_.size() + bytes.size() <= kKeptText) {
      kept_.append(bytes);
    } else if (keptWhole) {
      keptWhole = false;
      kept_.clear();
    }
    return true;
  });
  const bool readWhole = !input_->failed();
  header_ = text.header();
  const MessageHeader header(header_);
  messageId_ = MessageIdOf(header);
  WriteText copy = [this, offset](const spool::DownloadedText::Take& take) { return readAgain(offset, take); };
  if (keptWhole) {
    copy = [this, readWhole](const spool::DownloadedText::Take& take) {
      readFailed_ = !readWhole;
      return readWhole && (kept_.empty() || take(kept_));
    };
  }
  return rules_ ? handleByRules(header, copy) : deliver(deliverTo_, copy);
}

bool Sorter::handleByRules(const MessageHeader& header, const WriteText& text) {
  if (rules_->empty()) return deliverToFallback(text);
  RuleMatch match = MatchSorterRules(header, *rules_, c_.config);
  if (!match.relay.empty()) {
    if (const std::string reason = NoRelayReason(header, c_.config); !reason.empty()) {
      log("Сообщение #" + Number(number_) + " не пересылается повторно (" + reason + ")\r\n");
      match.relay.clear();
    }
  }
  const bool reachesSomeone = !match.relay.empty() || !match.folders.empty() ||
                              std::find(match.users.begin(), match.users.end(), true) != match.users.end();
  // A match that names no existing user and no outside address would reach nobody.
  if (!match.matched || !reachesSomeone) return deliverToFallback(text);
  for (std::size_t i = 0; i < match.users.size(); ++i) {
    if (match.users[i] && !deliver(c_.config.users[i].name, text)) return false;
  }
  for (const FolderRecipient& folder : match.folders) {
    if (!deliverToFolder(folder, text)) return false;
  }
  return match.relay.empty() || relay(match.relay, text);
}

// Every message of the file at path_; false when one could not be delivered or the file
// could not be read whole (a read error looks like the file's end).
bool Sorter::sortFile() {
  auto in = platform::InputFile::Open(path_);
  if (!in) return true;  // gone already: nothing of it to deliver
  delivery_->consumes(path_);
  readFailed_ = false;
  input_ = &*in;
  spool::DownloadedText text(*in);
  while (!text.atEnd()) {
    if (!handle(text)) return false;
    readFailed_ = in->failed();
  }
  if (!in->failed()) return true;
  log("Не могу прочитать файл \"" + path_ + "\" (" + platform::LastFileErrorText() +
      "): почта остается до следующего сеанса\r\n");
  return false;
}

SortResult Sorter::run() {
  const int firstNumber = number_;
  std::vector<std::string> maildrops;  // taken at once when a group is begun again
  for (bool again = true; again;) {
    again = false;
    number_ = firstNumber;
    delivery_.emplace(c_.config);
    if (!maildrops.empty() && !delivery_->willAppend(maildrops)) {
      log("Не могу начать доставку (" + delivery_->problem() + "): сортировка отложена до следующего сеанса\r\n");
      return SortResult::kStopped;
    }
    for (const auto& path : paths_) {
      path_ = path;
      if (sortFile()) continue;
      // A maildrop another delivery held while this one held others: undone, and begun again
      // with every maildrop it wants taken first, in order.
      again = delivery_->busy();
      maildrops = delivery_->maildrops();
      delivery_->rollback();
      ids_.discard();
      if (!again) return SortResult::kStopped;
      break;
    }
  }
  if (!delivery_->commit()) {
    ids_.discard();
    log("Не могу завершить доставку (" + delivery_->problem() + "): почта остается до следующего сеанса\r\n");
    return SortResult::kStopped;
  }
  if (delivery_->unfinished()) {
    log("Доставка не завершена (" + delivery_->problem() + "): она завершится при следующей доставке или запуске\r\n");
  }
  // After the commit: a crash before this line gives a duplicate later, never a lost message.
  ids_.commit();
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

SortResult SortFiles(const SortContext& context, std::vector<std::string> paths, bool byRules,
                     const std::string& deliverTo, int& number, RecentMessageIds& ids) {
  std::optional<SorterRuleTable> rules;
  if (byRules) {
    rules = ReadSorterRules(context.sorter);
    if (!rules) {
      context.log.write(context.source, "Не могу прочитать файл sorter.cfg: почта остается до следующего сеанса\r\n");
      return SortResult::kStopped;
    }
  }
  Sorter sorter(context, std::move(paths), rules ? &*rules : nullptr, deliverTo, number, ids);
  std::shared_lock<std::shared_mutex> noBackupMeanwhile(spool::DownloadedMailGate());
  return sorter.run();
}

RecentMessageIds LoadRecentIds(const SortContext& context) {
  platform::Clock& clock = context.clock ? *context.clock : platform::SystemClock();
  RecentMessageIds ids(context.programDir + "delivered.ids", LocalSeconds(clock.localTime()));
  ids.load();
  return ids;
}

}  // namespace

SortResult SortMailFile(const SortContext& context, const std::string& path, bool byRules,
                        const std::string& deliverTo) {
  int number = 0;
  RecentMessageIds ids = LoadRecentIds(context);
  return SortFiles(context, {path}, byRules, deliverTo, number, ids);
}

SortResult SortDownloadedMail(const SortContext& context) {
  spool::SettleLedgers(context.programDir);
  // A delivery whose commit stands but whose files were not all removed: they go first, or
  // they would be listed and sorted again.
  std::string unfinished;
  spool::FinishUnfinishedDeliveries(unfinished);
  int number = 0;
  return SortWaitingMail(context, spool::ListWaitingMail(context.programDir), number);
}

SortResult SortWaitingMail(const SortContext& context, const std::vector<spool::WaitingMail>& waiting, int& number) {
  if (waiting.empty()) return SortResult::kNothing;
  RecentMessageIds ids = LoadRecentIds(context);
  for (std::size_t first = 0; first < waiting.size();) {
    // The next files of the same account, as one delivery; an earlier version's file alone.
    const std::string deliverTo = DeliverToOf(context.config, waiting[first]);
    std::vector<std::string> paths = {waiting[first].path};
    std::uint64_t bytes = platform::FileSize(waiting[first].path).value_or(0);
    std::size_t next = first + 1;
    for (; next < waiting.size() && waiting[first].accountKey && waiting[next].accountKey == waiting[first].accountKey &&
           bytes < kDeliveryBytes;
         ++next) {
      paths.push_back(waiting[next].path);
      bytes += platform::FileSize(waiting[next].path).value_or(0);
    }
    if (SortFiles(context, std::move(paths), deliverTo.starts_with('*'), deliverTo, number, ids) == SortResult::kStopped) {
      return SortResult::kStopped;
    }
    first = next;
  }
  return SortResult::kSorted;
}

std::mutex& DownloadLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace quelma::sorting
