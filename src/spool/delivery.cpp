// The delivery journal: its records, the commit, the undo, and recovery after a crash.
#include "spool/delivery.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/files.h"
#include "platform/unique_tick.h"
#include "spool/delivery_journals.h"
#include "spool/mailbox.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"

namespace quelma::spool {
namespace {

constexpr char kIntent[] = "QUELMA-DELIVERY intent";
constexpr char kCommitted[] = "QUELMA-DELIVERY commit";

// Each delivery's own journal; an older build's single one ("delivery.journal") matches the
// pattern too and is recovered the same way.
constexpr char kJournals[] = "delivery*.journal";
std::string NewJournalPath(const config::Configuration& config) {
  return config.MailDropDir + "delivery-" + QueueFileName(platform::ProcessUniqueTicks().next()) + ".journal";
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

constexpr std::size_t kLargestJournal = 64 << 20;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t lf = text.find('\n', at);
    lines.push_back(text.substr(at, lf == std::string::npos ? std::string::npos : lf - at));
    at = lf == std::string::npos ? text.size() : lf + 1;
  }
  return lines;
}

// Records the first failed step: the file and the system's reason. False.
bool Note(std::string& problem, const std::string& path) {
  if (problem.empty()) problem = path + ": " + platform::LastFileErrorText();
  return false;
}

// Removed now, or not there to begin with.
bool Gone(const std::string& path) { return platform::RemoveFile(path) || !platform::FileExists(path); }

// The maildrop at its size before the delivery again ("-": it did not exist). With the size
// the delivery was to give it (`afterField`, for recovery), a maildrop that has it is left as
// it is: the append is whole (an answer that the crash may have kept from its sender makes it
// a duplicate, never a loss).
bool CutBack(const std::string& path, const std::string& sizeField, std::string& problem,
             const std::string& afterField = {}) {
  const auto size = platform::FileSize(path);
  if (!size) return true;  // missing, or not a file: nothing was appended to it
  if (!afterField.empty() && *size >= std::strtoull(afterField.c_str(), nullptr, 10)) return true;
  if (sizeField == "-") return Gone(path) || Note(problem, path);
  const std::uint64_t before = std::strtoull(sizeField.c_str(), nullptr, 10);
  return *size <= before || platform::TruncateFile(path, before) || Note(problem, path);
}

// A staged queue file under the name its delivery chose (or the next free one, should that
// name have been taken meanwhile), the name durable.
bool Publish(const std::string& staged, const std::string& target, std::string& problem) {
  if (!platform::FileExists(staged)) return true;  // published already
  if (platform::RenameNoReplace(staged, target)) return true;
  const std::size_t nameAt = target.size() >= 8 ? target.size() - 8 : 0;
  if (platform::FileExists(staged) && platform::FileExists(target) && IsQueueFileName(target.substr(nameAt))) {
    const auto tick = static_cast<std::uint32_t>(std::strtoul(target.c_str() + nameAt, nullptr, 16));
    if (PublishQueueFile(staged, target.substr(0, nameAt), tick + 1)) return true;
  }
  // Renamed, but its directory was not synced: that is tried once more.
  if (!platform::FileExists(staged) && platform::SyncParentDirectory(target)) return true;
  return Note(problem, staged);
}

// The maildrops an intent journal may still cut back; none for a committed one.
std::vector<std::string> MaildropsToCutBack(const std::string& journal) {
  std::vector<std::string> maildrops;
  const auto text = platform::ReadWholeFile(journal, kLargestJournal);
  if (!text) return maildrops;
  const auto lines = Lines(*text);
  if (lines.empty() || lines[0] == kCommitted) return maildrops;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto f = SplitFields(lines[i]);
    if (f.size() >= 3 && f[0] == "A") maildrops.push_back(f[2]);
  }
  return maildrops;
}

// Undoes an interrupted delivery (its journal says intent) or finishes a committed one; the
// journal goes only when every step of that is done.
bool Recover(const std::string& journal, std::string& problem) {
  const auto text = platform::ReadWholeFile(journal, kLargestJournal);
  if (!text) return !platform::FileExists(journal) || Note(problem, journal);
  const auto lines = Lines(*text);
  const bool committed = !lines.empty() && lines[0] == kCommitted;
  bool done = true;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto f = SplitFields(lines[i]);
    if (!committed && f.size() >= 3 && f[0] == "A") done = CutBack(f[2], f[1], problem, f.size() > 3 ? f[3] : "") && done;
    // A staged file that stays is never published; the next start removes it.
    if (!committed && f.size() == 3 && f[0] == "S") Gone(f[2]);
    if (committed && f.size() == 3 && f[0] == "P") done = Publish(f[1], f[2], problem) && done;
    if (committed && f.size() == 2 && f[0] == "C") done = (Gone(f[1]) || Note(problem, f[1])) && done;
  }
  return done && (Gone(journal) || Note(problem, journal));
}

// The journals that deliveries left and recovery has not finished yet (a failed step, or a
// commit record whose sync failed): the next delivery to a maildrop one names finishes it
// first, or does not begin.
struct Unfinished {
  std::mutex mutex;
  std::vector<std::string> journals;
};

Unfinished& UnfinishedJournals() {
  static Unfinished unfinished;
  return unfinished;
}

void KeepUnfinished(const std::string& journal) {
  Unfinished& u = UnfinishedJournals();
  std::lock_guard<std::mutex> hold(u.mutex);
  if (std::find(u.journals.begin(), u.journals.end(), journal) == u.journals.end()) u.journals.push_back(journal);
}

bool NamesAny(const std::vector<std::string>& named, const std::vector<std::string>& maildrops) {
  return std::any_of(named.begin(), named.end(), [&](const std::string& m) {
    return std::find(maildrops.begin(), maildrops.end(), m) != maildrops.end();
  });
}

// Finishes what unfinished journals it can: a committed one always, one that may cut back
// maildrops when their locks are held by `locks` or free. False (`problem` set) when one that
// names any of `maildrops` stays unfinished.
bool FinishUnfinished(const DeliveryLocks& locks, const std::vector<std::string>& maildrops, std::string& problem) {
  Unfinished& u = UnfinishedJournals();
  std::lock_guard<std::mutex> hold(u.mutex);
  bool clear = true;
  for (auto it = u.journals.begin(); it != u.journals.end();) {
    const std::vector<std::string> named = MaildropsToCutBack(*it);
    std::vector<std::unique_lock<std::timed_mutex>> borrowed;
    bool lockable = true;
    for (const std::string& m : named) {
      if (locks.holds(m)) continue;
      borrowed.emplace_back(MaildropDeliveryLock(m), std::try_to_lock);
      lockable = lockable && borrowed.back().owns_lock();
    }
    std::string reason;
    if (lockable && Recover(*it, reason)) {
      it = u.journals.erase(it);
      continue;
    }
    if (NamesAny(named, maildrops)) {
      clear = false;
      if (problem.empty()) problem = reason.empty() ? *it + ": an earlier delivery is not finished" : reason;
    }
    ++it;
  }
  return clear;
}

}  // namespace

bool FinishUnfinishedDeliveries(std::string& problem) {
  std::string first;
  FinishUnfinished(DeliveryLocks(), {}, first);
  Unfinished& u = UnfinishedJournals();
  std::lock_guard<std::mutex> hold(u.mutex);
  if (u.journals.empty()) return true;
  problem = u.journals.front() + ": an earlier delivery is not finished";
  return false;
}

bool MaildropAwaitsRecovery(const std::string& maildrop) {
  Unfinished& u = UnfinishedJournals();
  std::lock_guard<std::mutex> hold(u.mutex);
  return std::any_of(u.journals.begin(), u.journals.end(),
                     [&](const std::string& journal) { return NamesAny(MaildropsToCutBack(journal), {maildrop}); });
}

bool RecoverDeliveries(const config::Configuration& config, std::string& problem, int* finished) {
  ForgetFreeJournals(config.MailDropDir);
  bool done = true;
  for (const std::string& name : platform::ListDirectory(config.MailDropDir, kJournals)) {
    const std::string journal = config.MailDropDir + name;
    if (Recover(journal, problem)) {
      if (finished) ++*finished;
      continue;
    }
    KeepUnfinished(journal);
    done = false;
  }
  return done;
}

bool MakeSpoolDirectories(const config::Configuration& config) {
  bool ready = true;
  for (const std::string& dir : {config.MailDropDir, config.QueueDir}) {
    if (!platform::IsDirectory(dir) && !platform::MakeDirectory(dir)) ready = false;
  }
  return ready;
}

bool PrepareSpool(const config::Configuration& config, std::string* unfinished, std::vector<std::string>* recovered) {
  if (!MakeSpoolDirectories(config)) return false;
  std::string problem;
  int finished = 0;
  std::size_t workFiles = 0;
  // Work files a crash left: nothing is being delivered now, so none of them is wanted,
  // unless a journal that recovery could not finish still names them.
  if (RecoverDeliveries(config, problem, &finished)) {
    for (const char* pattern : {"sorter-*.tmp", "smtps*.tmp"}) {
      for (const auto& name : platform::ListDirectory(config.QueueDir, pattern)) {
        platform::RemoveFile(config.QueueDir + name);
        ++workFiles;
      }
    }
  }
  if (unfinished) *unfinished = problem;
  // The marks of runs a stop cut short: what they did is kept (the sent marks, the download
  // files), they are only told of.
  const bool uploadCut = platform::FileExists(config.MailDropDir + "smtp_upload.runs");
  const bool downloadCut = platform::FileExists(config.MailDropDir + "pop3_download.runs");
  platform::RemoveFile(config.MailDropDir + "smtp_upload.runs");
  platform::RemoveFile(config.MailDropDir + "pop3_download.runs");
  if (recovered) {
    if (finished > 0) {
      recovered->push_back("доставка писем в почтовые ящики доделана по журналу (" + std::to_string(finished) + ")");
    }
    if (workFiles > 0) {
      recovered->push_back("удалены недописанные файлы приема (" + std::to_string(workFiles) +
                           "): их письма не были приняты, отправитель повторит их");
    }
    if (uploadCut) recovered->push_back("отправка провайдеру была прервана: уже отправленные письма помечены и второй раз не уйдут");
    if (downloadCut) recovered->push_back("загрузка почты с провайдера была прервана: загруженное будет разобрано, остальное загрузится в следующем сеансе");
    if (!problem.empty()) recovered->push_back("прерванную доставку доделать не удалось (" + problem + "): почта не принимается, пока это не исправлено");
  }
  // An upload's mark that outlived its queue file (the crash came between the two removals).
  RemoveStaleSentMarks(config.QueueDir);
  // So are a journal or the ids file a crash left half-written beside its name: that journal
  // never held an intent, and the ids file in place stands.
  for (const char* pattern : {kCommitWorkFiles, "delivery*.journal.tmp", "unique.ids.tmp"}) {
    for (const auto& name : platform::ListDirectory(config.MailDropDir, pattern)) {
      platform::RemoveFile(config.MailDropDir + name);
    }
  }
  const std::string ids = config.MailDropDir + "unique.ids";
  std::optional<std::uint32_t> floor;
  if (auto in = platform::InputFile::Open(ids)) {
    std::string text(16, '\0');
    text.resize(in->read(text.data(), text.size()));
    floor = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  }
  platform::ProcessUniqueTicks().persistWith(floor, [ids](std::uint32_t bound) {
    return platform::AtomicReplace(ids, QueueFileName(bound) + "\r\n") == platform::WriteResult::kWritten;
  });
  return true;
}

// What an earlier delivery left unfinished is finished first where it can be: a committed one
// may still have to remove a file this delivery would otherwise take up again.
Delivery::Delivery(const config::Configuration& config) : config_(config) {
  std::string ignored;
  FinishUnfinishedDeliveries(ignored);
  if (auto free = TakeFreeJournal(config.MailDropDir)) {
    journal_ = std::move(*free);
    journalOnDisk_ = true;
  } else {
    journal_ = NewJournalPath(config);
  }
}

Delivery::~Delivery() {
  if (open_) rollback();
  if (journalOnDisk_) GiveBackJournal(journal_, journalSynced_);
}

// The journal says nothing any more; it stays as an empty file for the next delivery.
// `durable`: synced; else an intent that a power loss brings back must find its appends whole
// (every one of them names the size it gives its maildrop).
bool Delivery::clearJournal(bool durable) {
  if (!platform::FileExists(journal_)) return true;
  if (EmptyJournal(journal_, durable)) {
    journalOnDisk_ = true;
    journalSynced_ = durable;
    return true;
  }
  journalOnDisk_ = false;
  return Gone(journal_) && platform::SyncParentDirectory(journal_);
}

bool Delivery::note(const std::string& path) { return Note(problem_, path); }

// One append alone, of a size said before: recovery may keep it when it is whole, as nothing
// else of the delivery could be missing beside it.
bool Delivery::keepsWhole() const {
  return appends_.size() == 1 && appends_[0].bytes && staged_.empty() && sources_.empty();
}

// The journal stays on disk for recovery: the next delivery to one of its maildrops, or the
// next start, finishes it.
void Delivery::leaveJournal() { KeepUnfinished(journal_); }

std::vector<std::string> Delivery::maildrops() const {
  std::vector<std::string> all = wanted_;
  for (const Append& a : appends_) all.push_back(a.path);
  return all;
}

Delivery::JournalWrite Delivery::writeJournal(bool committed) {
  std::string text = committed ? kCommitted : kIntent;
  text += "\n";
  for (const Append& a : appends_) {
    text += "A\t" + (a.sizeBefore ? std::to_string(*a.sizeBefore) : std::string("-")) + "\t" + a.path;
    if (keepsWhole()) text += "\t" + std::to_string(a.sizeBefore.value_or(0) + *a.bytes);
    text += "\n";
  }
  for (const Staged& s : staged_) {
    text += committed ? "P\t" + s.stagedPath + "\t" + config_.QueueDir + s.finalName + "\n"
                      : "S\t" + std::to_string(s.tick) + "\t" + s.stagedPath + "\n";
  }
  if (committed) {
    for (const std::string& source : sources_) text += "C\t" + source + "\n";
  }
  // An intent goes into an empty journal in place: a crash in the middle leaves part of it,
  // and nothing has been appended before it is whole and synced.
  if (!committed && journalOnDisk_) {
    journalOnDisk_ = false;  // not empty any more, whatever happens
    auto file = platform::OutputFile::Create(journal_, platform::CreateMode::kTruncate);
    if (file && file->write(text) && file->sync() && file->close()) return JournalWrite::kWritten;
    note(journal_);
    return JournalWrite::kOldStands;
  }
  journalOnDisk_ = false;
  switch (platform::AtomicReplace(journal_, text)) {
    case platform::WriteResult::kWritten: return JournalWrite::kWritten;
    case platform::WriteResult::kNotDurable: note(journal_); return JournalWrite::kUncertain;
    case platform::WriteResult::kCannotCreate:
    case platform::WriteResult::kWriteFailed: break;
  }
  note(journal_);
  return JournalWrite::kOldStands;
}

bool Delivery::willAppend(const std::vector<std::string>& maildrops, const std::vector<std::uint64_t>& bytes) {
  if (!recovered_ || busy_) return false;
  std::vector<std::string> fresh;
  for (const std::string& path : maildrops) {
    const bool known = std::any_of(appends_.begin(), appends_.end(), [&](const Append& a) { return a.path == path; });
    if (!known && std::find(fresh.begin(), fresh.end(), path) == fresh.end()) fresh.push_back(path);
  }
  if (fresh.empty()) return true;
  if (!locks_.take(fresh)) {
    busy_ = true;
    wanted_ = fresh;
    return false;
  }
  if (!FinishUnfinished(locks_, fresh, problem_)) {
    recovered_ = false;
    return false;
  }
  for (const std::string& path : fresh) {
    const auto at = std::find(maildrops.begin(), maildrops.end(), path) - maildrops.begin();
    std::optional<std::uint64_t> adds;
    if (static_cast<std::size_t>(at) < bytes.size()) adds = bytes[static_cast<std::size_t>(at)];
    appends_.push_back({path, platform::FileSize(path), adds});
  }
  return writeJournal(false) == JournalWrite::kWritten;
}

bool Delivery::willPublish(const std::string& stagedPath, std::uint32_t tick) {
  staged_.push_back({stagedPath, std::string(), tick});
  return recovered_;
}

bool Delivery::consumes(const std::string& path) {
  sources_.push_back(path);
  return recovered_;
}

std::optional<std::vector<std::string>> Delivery::commit() {
  auto names = commitHeld();
  locks_.releaseAll();
  // The indexes take the new mail in, and sessions that have the mailboxes open hear of it.
  if (names) {
    for (const Append& a : appends_) Mailbox::NoteAppended(a.path);
  }
  return names;
}

std::optional<std::vector<std::string>> Delivery::commitHeld() {
  if (!recovered_ || busy_) {
    rollback();
    return std::nullopt;
  }
  for (const Append& a : appends_) {
    if (!platform::FileSize(a.path)) continue;  // a maildrop that could not be opened got nothing
    auto file = platform::OutputFile::Create(a.path, platform::CreateMode::kAppend);
    if (!file || !file->sync() || !file->close() || (!a.sizeBefore && !platform::SyncParentDirectory(a.path))) {
      note(a.path);
      rollback();
      return std::nullopt;
    }
  }
  std::vector<std::string> names;
  for (Staged& s : staged_) {
    const auto name = ChooseQueueFileName(config_.QueueDir, s.tick, names);
    if (!name) {
      if (problem_.empty()) problem_ = config_.QueueDir + ": no free queue file name";
      rollback();
      return std::nullopt;
    }
    s.finalName = *name;
    names.push_back(*name);
  }
  if (staged_.empty() && sources_.empty()) {
    // Only appends: emptying the journal is the commit. When each append says the size it
    // gives its maildrop, recovery tells a whole one by it, and the emptying needs no sync.
    if (!appends_.empty() && !clearJournal(!keepsWhole())) {
      note(journal_);
      rollback();
      return std::nullopt;
    }
    open_ = false;
    return names;
  }
  if (appends_.empty() && sources_.empty() && staged_.size() == 1) {
    // One queue file alone: its rename is the commit; before it, the start removes the staged file.
    if (!Publish(staged_[0].stagedPath, config_.QueueDir + staged_[0].finalName, problem_)) {
      rollback();
      return std::nullopt;
    }
    open_ = false;
    return names;
  }
  switch (writeJournal(true)) {
    case JournalWrite::kWritten: break;
    case JournalWrite::kOldStands:
      rollback();
      return std::nullopt;
    case JournalWrite::kUncertain:
      // The commit record may or may not survive a crash: recovery decides by what it finds,
      // at the next delivery or start. Nothing is acknowledged meanwhile.
      open_ = false;
      leaveJournal();
      return std::nullopt;
  }
  open_ = false;
  unfinished_ = !finishCommitted();
  if (unfinished_) leaveJournal();
  return names;
}

// What follows a durable commit record; false when a step failed (the journal then stays, and
// recovery finishes the delivery).
bool Delivery::finishCommitted() {
  bool done = true;
  for (const Staged& s : staged_) done = Publish(s.stagedPath, config_.QueueDir + s.finalName, problem_) && done;
  std::string syncedDirectory;
  for (const std::string& source : sources_) {
    done = (Gone(source) || note(source)) && done;
    // A removal that a crash undid would have the file sorted again.
    const std::string directory = source.substr(0, source.find_last_of("/\\") + 1);
    if (directory == syncedDirectory) continue;
    done = (platform::SyncParentDirectory(source) || note(source)) && done;
    syncedDirectory = directory;
  }
  return done && (clearJournal(true) || note(journal_));
}

void Delivery::rollback() {
  if (!open_) return;
  open_ = false;
  struct LetGo {
    DeliveryLocks& locks;
    ~LetGo() { locks.releaseAll(); }
  } letGo{locks_};
  // A staged file that stays is never published; the next start removes it.
  for (const Staged& s : staged_) {
    if (!Gone(s.stagedPath)) note(s.stagedPath);
  }
  if (!recovered_ || appends_.empty()) return;  // nothing appended, no journal of ours
  bool undone = true;
  for (auto it = appends_.rbegin(); it != appends_.rend(); ++it) {
    undone = CutBack(it->path, it->sizeBefore ? std::to_string(*it->sizeBefore) : std::string("-"), problem_) && undone;
  }
  if (undone) {
    // An intent journal that stays only has recovery cut back what is cut back already; it
    // must go before anything more is appended to its maildrops.
    if (!clearJournal(true)) {
      note(journal_);
      leaveJournal();
    }
    return;
  }
  // What could not be cut back is left to recovery: the journal on disk must name it.
  writeJournal(false);
  leaveJournal();
}

}  // namespace quelma::spool
