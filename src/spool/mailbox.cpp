// The open mailboxes of the process: one object per file, its index in memory and on disk in
// step, reading by UID, flags, expunges, compaction and word of changes.
#include "spool/mailbox.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <deque>
#include <map>

#include "platform/files.h"
#include "spool/delivery.h"
#include "spool/delivery_journals.h"
#include "spool/mailbox_compaction.h"
#include "spool/mailbox_index_file.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "spool/maildrop_locks.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Mailboxes kept open after their last session, so a delivery to them costs no index read.
constexpr std::size_t kKeptOpen = 32;

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }
// The clock's seconds, but never one given before in this process: two mailboxes made anew in
// one second (or one made anew twice) do not share a UIDVALIDITY.
std::uint32_t FreshUidValidity() {
  static std::atomic<std::uint32_t> last{0};
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  std::uint32_t before = last.load();
  std::uint32_t fresh = 0;
  do {
    fresh = now > before ? now : before + 1;
  } while (!last.compare_exchange_weak(before, fresh));
  return fresh;
}

class Registry {
 public:
  std::shared_ptr<Mailbox> find(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = open_.find(path);
    return it == open_.end() ? nullptr : it->second.lock();
  }
  // The one already there when another thread was first.
  std::shared_ptr<Mailbox> add(std::shared_ptr<Mailbox> box) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto& slot = open_[box->path()];
    if (auto there = slot.lock()) return there;
    slot = box;
    recent_.push_back(box);
    if (recent_.size() > kKeptOpen) recent_.pop_front();
    std::erase_if(open_, [](const auto& entry) { return entry.second.expired(); });
    return box;
  }
  std::shared_ptr<Mailbox> remove(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = open_.find(path);
    if (it == open_.end()) return nullptr;
    auto box = it->second.lock();
    open_.erase(it);
    std::erase_if(recent_, [&path](const auto& kept) { return kept->path() == path; });
    return box;
  }
  void forgetIdle() {
    std::lock_guard<std::mutex> hold(mutex_);
    recent_.clear();
    std::erase_if(open_, [](const auto& entry) { return entry.second.expired(); });
  }
  std::vector<std::shared_ptr<Mailbox>> all() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::shared_ptr<Mailbox>> boxes;
    for (const auto& [path, weak] : open_) {
      if (auto box = weak.lock()) boxes.push_back(std::move(box));
    }
    return boxes;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<Mailbox>> open_;
  std::deque<std::shared_ptr<Mailbox>> recent_;
};

// For each mailbox file, its UIDVALIDITY and UIDNEXT when this process first opened it.
std::mutex gFirstSeenMutex;
std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> gFirstSeen;

void NoteFirstSeen(const std::string& path, const MailboxIndex& index) {
  std::lock_guard<std::mutex> hold(gFirstSeenMutex);
  auto& seen = gFirstSeen[path];
  if (seen.first != index.uidValidity) seen = {index.uidValidity, index.uidNext};
}

Registry& OpenMailboxes() {
  static Registry registry;
  return registry;
}

template <typename Messages>
auto FindUid(Messages& messages, std::uint32_t uid) -> decltype(&messages[0]) {
  const auto it = std::lower_bound(messages.begin(), messages.end(), uid,
                                   [](const IndexedMessage& m, std::uint32_t u) { return m.uid < u; });
  return it != messages.end() && it->uid == uid ? &*it : nullptr;
}

const IndexedMessage* FindId(const MailboxIndex& index, std::string_view id) {
  for (const auto* list : {&index.messages, &index.expunged}) {
    const auto it = std::find_if(list->begin(), list->end(), [id](const IndexedMessage& m) { return m.id == id; });
    if (it != list->end()) return &*it;
  }
  return nullptr;
}

// Hands on the text after the separator line that begins at the reader's place.
class TextAfterSeparator {
 public:
  explicit TextAfterSeparator(std::uint64_t size) : left_(size) {}
  // False when the reader wants no more.
  bool feed(std::string_view chunk, const std::function<bool(std::string_view)>& onPiece) {
    if (inSeparator_) {
      const std::size_t nl = chunk.find('\n');
      if (nl == std::string_view::npos) return true;
      inSeparator_ = false;
      chunk.remove_prefix(nl + 1);
    }
    chunk = chunk.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), left_)));
    left_ -= chunk.size();
    return chunk.empty() || onPiece(chunk);
  }
  bool done() const { return !inSeparator_ && left_ == 0; }

 private:
  std::uint64_t left_;
  bool inSeparator_ = true;
};

}  // namespace

Mailbox::Mailbox(std::string path, std::string indexPath, MailboxIndex index)
    : path_(std::move(path)),
      indexPath_(std::move(indexPath)),
      index_(std::move(index)),
      summaries_(SummaryCachePath(indexPath_)) {}

std::shared_ptr<Mailbox> Mailbox::Load(const std::string& path, MailboxOpenNote* note) {
  const std::string indexPath = MailboxIndexPath(path);
  SyncedIndex synced = SyncMailboxIndexHeld(path, indexPath, Now(), FreshUidValidity(), nullptr);
  if (note) *note = {synced.rebuilt, synced.damaged, synced.uidValidityChanged, !synced.stored};
  // UIDs given anew: no summary kept under the old ones may be taken for theirs.
  if (synced.rebuilt) platform::RemoveFile(SummaryCachePath(indexPath));
  NoteFirstSeen(path, synced.index);
  auto made = std::make_shared<Mailbox>(path, indexPath, std::move(synced.index));
  made->inStep_ = synced.stored;
  auto box = OpenMailboxes().add(std::move(made));
  if (box->hasExpunged()) CompactLater(box);  // left by a crash before its compaction
  return box;
}

std::shared_ptr<Mailbox> Mailbox::Open(const std::string& path, MailboxOpenNote* note) {
  if (auto box = OpenMailboxes().find(path)) {
    box->refresh();
    return box;
  }
  std::lock_guard<std::timed_mutex> between(MaildropDeliveryLock(path));
  if (auto box = OpenMailboxes().find(path)) {
    box->refreshHeld();
    return box;
  }
  return Load(path, note);
}

void Mailbox::NoteAppended(const std::string& path) {
  std::unique_lock<std::timed_mutex> between(MaildropDeliveryLock(path), std::try_to_lock);
  if (!between.owns_lock()) return;
  if (auto box = OpenMailboxes().find(path)) {
    box->refreshHeld();
  } else if (platform::FileExists(MailboxIndexPath(path))) {
    Load(path, nullptr);  // reads what the index lacks: this delivery
  }  // a mailbox never indexed is read whole at its first open, not before this answer
}

void Mailbox::ForgetIdle() { OpenMailboxes().forgetIdle(); }

void Mailbox::Forget(const std::string& path) {
  const auto box = OpenMailboxes().remove(path);
  if (!box) return;
  {
    std::lock_guard<std::mutex> hold(box->mutex_);
    box->removed_ = true;
    ++box->changes_;
  }
  box->notify();
}

bool Mailbox::removed() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return removed_;
}

std::vector<std::shared_ptr<Mailbox>> Mailbox::OpenWithExpunged() {
  std::vector<std::shared_ptr<Mailbox>> boxes = OpenMailboxes().all();
  std::erase_if(boxes, [](const auto& box) { return !box->hasExpunged(); });
  return boxes;
}

MailboxIndex Mailbox::index() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return index_;
}

std::shared_ptr<const MailboxIndex> Mailbox::snapshot() const {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!snapshot_) snapshot_ = std::make_shared<const MailboxIndex>(index_);
  return snapshot_;
}

std::uint32_t Mailbox::firstUidOfProcess() const {
  std::uint32_t validity = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    validity = index_.uidValidity;
  }
  std::lock_guard<std::mutex> hold(gFirstSeenMutex);
  const auto it = gFirstSeen.find(path_);
  // Numbered anew since: every message came under the new numbers.
  return it == gFirstSeen.end() || it->second.first != validity ? 1 : it->second.second;
}

std::uint64_t Mailbox::changeCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return changes_;
}

bool Mailbox::hasExpunged() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return !index_.expunged.empty();
}

bool Mailbox::refresh() {
  std::lock_guard<std::timed_mutex> between(MaildropDeliveryLock(path_));
  return refreshHeld();
}

bool Mailbox::refreshHeld() {
  // A delivery that recovery has yet to cut back may have left part of a message at the end.
  if (MaildropAwaitsRecovery(path_)) return true;
  bool changed = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    // The index in memory is the mailbox's: every change went through it. A file that does not
    // hold it (one that could not be written, or was taken away behind the program's back) is
    // written whole first.
    if (!inStep_ || !platform::FileExists(indexPath_)) inStep_ = writeWhole(index_);
    const auto shape = [this](IndexedMessage& m) {
      const auto it = expected_.find(m.id);
      if (it == expected_.end()) return;
      m.flags = it->second.flags;
      m.keywords = it->second.keywords;
      if (it->second.arrival != 0) m.arrival = it->second.arrival;
      expected_.erase(it);
      // Kept for the appender, who may ask after another session expunged the message already.
      if (given_.size() > 10000) given_.clear();
      given_[m.id] = m.uid;
    };
    SyncedIndex synced = SyncMailboxIndexHeld(path_, indexPath_, Now(), FreshUidValidity(), &index_, shape);
    if (synced.unchanged) return inStep_;
    changed = synced.added > 0 || synced.expunged > 0 || synced.uidValidityChanged;
    index_ = std::move(synced.index);
    snapshot_.reset();
    inStep_ = synced.stored;
    if (changed) ++changes_;
  }
  if (changed) notify();
  return inStep_;
}

Mailbox::ReadResult Mailbox::readText(std::uint32_t uid,
                                      const std::function<bool(std::string_view piece)>& onPiece) const {
  return readText(uid, {}, onPiece);
}

Mailbox::ReadResult Mailbox::readText(std::uint32_t uid, std::string_view id,
                                      const std::function<bool(std::string_view piece)>& onPiece) const {
  std::shared_lock<std::shared_timed_mutex> reading(fileInUse_);
  std::uint64_t offset = 0, size = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const IndexedMessage* m = FindUid(index_.messages, uid);
    if (!m) m = FindUid(index_.expunged, uid);
    if (!id.empty() && (!m || m->id != id)) m = FindId(index_, id);
    if (!m) return ReadResult::kGone;
    offset = m->offset;
    size = m->size;
  }
  auto file = platform::InputFile::Open(path_);
  if (!file || !file->seek(offset)) return ReadResult::kReadFailed;
  std::vector<char> buffer(kChunk);
  TextAfterSeparator text(size);
  while (!text.done()) {
    const std::size_t n = file->read(buffer.data(), buffer.size());
    if (n == 0) return ReadResult::kReadFailed;  // the index promised more: a read error
    if (!text.feed(std::string_view(buffer.data(), n), onPiece)) return ReadResult::kStopped;
  }
  return ReadResult::kWhole;
}

std::optional<mime::MessagePart> Mailbox::summary(std::uint32_t uid) {
  std::uint32_t uidValidity = 0;
  std::uint64_t size = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const IndexedMessage* m = FindUid(index_.messages, uid);
    if (!m) m = FindUid(index_.expunged, uid);
    if (!m) return std::nullopt;
    uidValidity = index_.uidValidity;
    size = m->size;
  }
  if (auto kept = summaries_.find(uidValidity, uid, size)) return kept;
  mime::StructureReader reader;
  const ReadResult read = readText(uid, [&](std::string_view piece) {
    reader.feed(piece);
    return true;
  });
  if (read != ReadResult::kWhole) return std::nullopt;
  mime::MessagePart made = reader.finish();
  std::lock_guard<std::mutex> hold(mutex_);
  // Numbered anew while it was read: the UID may have named another message.
  if (index_.uidValidity != uidValidity) return std::nullopt;
  summaries_.keep(uidValidity, uid, size, made);
  return made;
}

bool Mailbox::store(const std::string& records, bool durable, const std::function<void(MailboxIndex&)>& change) {
  if (inStep_) {
    if (!platform::AppendToFile(indexPath_, records, durable)) return false;
    change(index_);
    snapshot_.reset();
    return true;
  }
  // The file is not the index in memory (it could not be written before): all of it goes down.
  MailboxIndex after = index_;
  change(after);
  if (!writeWhole(after)) return false;
  index_ = std::move(after);
  snapshot_.reset();
  inStep_ = true;
  return true;
}

// The index file made to hold `index`, its folder made again when that went too.
bool Mailbox::writeWhole(const MailboxIndex& index) const {
  const std::string folder = indexPath_.substr(0, indexPath_.find_last_of("/\\") + 1);
  if (!platform::IsDirectory(folder)) platform::MakeDirectory(folder);
  return platform::AtomicReplace(indexPath_, EncodeIndex(index)) == platform::WriteResult::kWritten;
}

void Mailbox::expect(const std::string& id, Arrival arrival) {
  std::lock_guard<std::mutex> hold(mutex_);
  expected_[id] = arrival;
}

std::optional<std::uint32_t> Mailbox::takeUid(const std::string& id) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto it = given_.find(id);
  if (it == given_.end()) return std::nullopt;
  const std::uint32_t uid = it->second;
  given_.erase(it);
  return uid;
}

bool Mailbox::contains(std::uint32_t uid) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return FindUid(index_.messages, uid) != nullptr;
}

std::optional<std::size_t> Mailbox::keyword(std::string_view name) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto it = std::find(index_.keywords.begin(), index_.keywords.end(), name);
  if (it != index_.keywords.end()) return static_cast<std::size_t>(it - index_.keywords.begin());
  if (name.empty() || index_.keywords.size() >= kMaxKeywords ||
      !store(EncodeKeyword(name), false, [name](MailboxIndex& index) { index.keywords.emplace_back(name); })) {
    return std::nullopt;
  }
  ++changes_;  // the sessions tell their clients of the new keyword
  return index_.keywords.size() - 1;
}

std::optional<std::uint64_t> Mailbox::setFlags(std::uint32_t uid, std::uint32_t flags, std::uint64_t keywords) {
  std::uint64_t modseq = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!FindUid(index_.messages, uid)) return std::nullopt;
    modseq = index_.highestModseq + 1;
    flags &= flag::kAll;
    // Flags are the mailbox's own state, yet a lost change costs no mail: written, not synced.
    const bool stored = store(EncodeFlags(uid, flags, keywords, modseq), false, [&](MailboxIndex& index) {
      IndexedMessage* m = FindUid(index.messages, uid);
      m->flags = flags;
      m->keywords = keywords;
      m->modseq = modseq;
      index.highestModseq = modseq;
    });
    if (!stored) return std::nullopt;
    ++changes_;
  }
  notify();
  return modseq;
}

bool Mailbox::expunge(const std::vector<std::uint32_t>& uids) { return *expungeUnder(0, uids); }

std::optional<bool> Mailbox::expungeUnder(std::uint32_t uidValidity, const std::vector<std::uint32_t>& uids) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (uidValidity != 0 && uidValidity != index_.uidValidity) return std::nullopt;
    const std::uint64_t modseq = index_.highestModseq + 1;
    std::string records;
    std::vector<std::uint32_t> present;
    for (const std::uint32_t uid : uids) {
      if (FindUid(index_.messages, uid) && std::find(present.begin(), present.end(), uid) == present.end()) {
        records += EncodeExpunged(uid, modseq);
        present.push_back(uid);
      }
    }
    if (present.empty()) return true;
    const bool stored = store(records, true, [&](MailboxIndex& index) {
      for (const std::uint32_t uid : present) {
        IndexedMessage* m = FindUid(index.messages, uid);
        IndexedMessage gone = std::move(*m);
        index.messages.erase(index.messages.begin() + (m - index.messages.data()));
        const auto at = std::lower_bound(index.expunged.begin(), index.expunged.end(), uid,
                                         [](const IndexedMessage& e, std::uint32_t u) { return e.uid < u; });
        index.expunged.insert(at, std::move(gone));
      }
      index.highestModseq = modseq;
    });
    if (!stored) return false;
    ++changes_;
  }
  notify();
  CompactLater(shared_from_this());
  return true;
}

std::unique_ptr<Mailbox::Subscription> Mailbox::subscribe(std::function<void()> onChange) {
  std::lock_guard<std::mutex> hold(listenersMutex_);
  const auto at = listeners_.insert(listeners_.end(), std::move(onChange));
  return std::make_unique<Subscription>(shared_from_this(), at);
}

Mailbox::Subscription::~Subscription() {
  std::lock_guard<std::mutex> hold(mailbox_->listenersMutex_);
  mailbox_->listeners_.erase(at_);
}

void Mailbox::notify() {
  std::lock_guard<std::mutex> hold(listenersMutex_);
  for (const auto& onChange : listeners_) onChange();
}

Mailbox::CompactResult Mailbox::compact(std::chrono::milliseconds patience) {
  std::unique_lock<std::timed_mutex> between(MaildropDeliveryLock(path_), std::defer_lock);
  if (!between.try_lock_for(patience)) return CompactResult::kBusy;
  // A delivery that recovery has yet to finish cuts the file back to a size it noted.
  if (MaildropAwaitsRecovery(path_)) return CompactResult::kBusy;
  if (!refreshHeld()) return CompactResult::kFailed;
  return compactHeld(patience);
}

Mailbox::CompactResult Mailbox::compactHeld(std::chrono::milliseconds patience) {
  const MailboxIndex before = index();
  if (before.expunged.empty()) return CompactResult::kNothingToDo;
  const std::optional<std::uint64_t> cut = TailCut(before);
  WorkFile work(MailboxWorkPath(path_));
  std::optional<CompactedCopy> copy;
  if (!cut && !(copy = WriteCompactedCopy(path_, before, work.path()))) return CompactResult::kFailed;
  // An intent that a power loss could bring back must not find the file changed under it.
  if (!SyncIdleJournals()) return CompactResult::kFailed;
  std::unique_lock<std::shared_timed_mutex> alone(fileInUse_, std::defer_lock);
  if (!alone.try_lock_for(patience)) return CompactResult::kBusy;
  std::lock_guard<std::mutex> appends(MaildropLock(path_));
  // Bytes appended past the index without a delivery (by hand) since the copy began: they go
  // over as they stand, and the next sync finds them; a cut would take them off, so it waits.
  const std::uint64_t end = platform::FileSize(path_).value_or(before.syncedSize);
  if (end > before.syncedSize && (cut || !AppendRange(path_, before.syncedSize, end, work.path()))) {
    return cut ? CompactResult::kBusy : CompactResult::kFailed;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  MailboxIndex after = CompactedIndex(index_, cut ? TailKept(index_, *cut) : *copy);
  // The new index goes down first under a name of its own: a crash before both files are in
  // place leaves it to be taken (the new mailbox file is there) or dropped (it is not).
  const std::string nextIndex = IndexReplacementPath(indexPath_);
  if (platform::AtomicReplace(nextIndex, EncodeIndex(after)) != platform::WriteResult::kWritten) {
    return CompactResult::kFailed;
  }
  // An INBOX with nothing left goes, as it always has; a folder stays, empty.
  const bool placed = cut ? CutMailboxFile(path_, *cut, *cut == 0 && !IsFolderFile(path_))
                          : platform::RenameReplacing(work.path(), path_);
  if (!placed) {
    platform::RemoveFile(nextIndex);
    return CompactResult::kFailed;
  }
  index_ = std::move(after);
  snapshot_.reset();
  // Records to come go after the index in place; it must be the new one by then.
  inStep_ = platform::RenameReplacing(nextIndex, indexPath_);
  if (!inStep_ && writeWhole(index_)) {
    platform::RemoveFile(nextIndex);
    inStep_ = true;
  }
  std::vector<std::uint32_t> live;
  live.reserve(index_.messages.size());
  for (const IndexedMessage& m : index_.messages) live.push_back(m.uid);
  summaries_.prune(index_.uidValidity, live);
  return CompactResult::kDone;
}

}  // namespace quelma::spool
