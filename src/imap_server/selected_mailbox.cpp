// The selected mailbox as one session's client knows it, and the updates it is owed.
#include "imap_server/selected_mailbox.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

#include "imap_server/sequence_set.h"

namespace quelma::imap_server {
namespace {

struct RecentMark {
  std::uint32_t uidValidity = 0;
  std::uint32_t firstUnclaimed = 0;
};

std::mutex gRecentMutex;
std::map<std::string, RecentMark>& RecentMarks() {
  static std::map<std::string, RecentMark> marks;
  return marks;
}

constexpr const char* kSystemFlags[] = {"\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft"};

std::uint32_t Claim(const spool::Mailbox& box, const spool::MailboxIndex& index) {
  const std::string& path = box.path();
  std::lock_guard<std::mutex> hold(gRecentMutex);
  auto& marks = RecentMarks();
  auto it = marks.find(path);
  if (it == marks.end() || it->second.uidValidity != index.uidValidity) {
    if (marks.size() > 10000) marks.clear();  // a bound; losing \Recent marks loses no mail
    it = marks.insert_or_assign(path, RecentMark{index.uidValidity, box.firstUidOfProcess()}).first;
  }
  const std::uint32_t first = it->second.firstUnclaimed;
  it->second.firstUnclaimed = std::max(first, index.uidNext);
  return first;
}

std::uint32_t Peek(const spool::Mailbox& box, const spool::MailboxIndex& index) {
  std::lock_guard<std::mutex> hold(gRecentMutex);
  const auto& marks = RecentMarks();
  const auto it = marks.find(box.path());
  if (it == marks.end() || it->second.uidValidity != index.uidValidity) return box.firstUidOfProcess();
  return it->second.firstUnclaimed;
}

}  // namespace

std::uint32_t SelectedMailbox::UnclaimedRecent(const spool::Mailbox& box, const spool::MailboxIndex& index) {
  const std::uint32_t first = Peek(box, index);
  return static_cast<std::uint32_t>(std::count_if(index.messages.begin(), index.messages.end(),
                                                  [first](const spool::IndexedMessage& m) { return m.uid >= first; }));
}

SelectedMailbox::SelectedMailbox(std::shared_ptr<spool::Mailbox> box, bool readOnly, bool claimRecent)
    : box_(std::move(box)), readOnly_(readOnly), claimRecent_(claimRecent) {
  seenChanges_ = box_->changeCount();
  const auto snapshot = box_->snapshot();
  const spool::MailboxIndex& index = *snapshot;
  uidValidity_ = index.uidValidity;
  uidNext_ = index.uidNext;
  highestModseq_ = index.highestModseq;
  keywords_ = index.keywords;
  // EXAMINE shows what is recent without taking it from the next SELECT.
  const std::uint32_t firstRecent = claimRecent_ ? Claim(*box_, index) : Peek(*box_, index);
  messages_.reserve(index.messages.size());
  for (const spool::IndexedMessage& m : index.messages) {
    messages_.push_back({m.uid, m.flags, m.keywords, m.modseq, m.uid >= firstRecent, false});
  }
}

std::vector<std::uint32_t> SelectedMailbox::absentUids(
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) const {
  // A client may name a million UIDs at most; more are not listed.
  constexpr std::size_t kMostListed = 1000000;
  std::vector<std::uint32_t> absent;
  std::size_t at = 0;
  for (const auto& [first, written] : ranges) {
    const std::uint64_t last = std::min<std::uint64_t>(written, uidNext_ > 0 ? uidNext_ - 1 : 0);
    for (std::uint64_t uid = first; uid <= last && absent.size() < kMostListed; ++uid) {
      while (at < messages_.size() && messages_[at].uid < uid) ++at;
      if (at < messages_.size() && messages_[at].uid == uid) continue;
      // A run of absent UIDs is taken at once up to the next message.
      const std::uint64_t until = at == messages_.size() ? last : std::min<std::uint64_t>(last, messages_[at].uid - 1);
      for (; uid <= until && absent.size() < kMostListed; ++uid) absent.push_back(static_cast<std::uint32_t>(uid));
      --uid;
    }
  }
  return absent;
}

std::uint32_t SelectedMailbox::recentCount() const {
  return static_cast<std::uint32_t>(
      std::count_if(messages_.begin(), messages_.end(), [](const KnownMessage& m) { return m.recent && !m.gone; }));
}

std::optional<std::uint32_t> SelectedMailbox::numberOf(std::uint32_t uid) const {
  const auto it = std::lower_bound(messages_.begin(), messages_.end(), uid,
                                   [](const KnownMessage& m, std::uint32_t u) { return m.uid < u; });
  if (it == messages_.end() || it->uid != uid) return std::nullopt;
  return static_cast<std::uint32_t>(it - messages_.begin()) + 1;
}

std::string SelectedMailbox::flagList(std::uint32_t flags, std::uint64_t keywords, bool recent) const {
  std::string out = "(";
  for (std::size_t bit = 0; bit < 5; ++bit) {
    if (!(flags & (1u << bit))) continue;
    if (out.size() > 1) out += ' ';
    out += kSystemFlags[bit];
  }
  if (recent) out += out.size() > 1 ? " \\Recent" : "\\Recent";
  for (std::size_t k = 0; k < keywords_.size() && k < 64; ++k) {
    if (!(keywords & (std::uint64_t{1} << k))) continue;
    if (out.size() > 1) out += ' ';
    out += keywords_[k];
  }
  return out + ")";
}

std::string SelectedMailbox::flagsLine() const {
  std::string out = "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft";
  for (const std::string& k : keywords_) out += " " + k;
  return out + ")\r\n";
}

std::string SelectedMailbox::permanentFlags() const {
  std::string out = "PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft";
  for (const std::string& k : keywords_) out += " " + k;
  if (keywords_.size() < spool::kMaxKeywords) out += " \\*";
  return out + ")";
}

std::string SelectedMailbox::keywordLines() {
  return flagsLine() + "* OK [" + permanentFlags() + "] Flags permitted.\r\n";
}

void SelectedMailbox::noteFlags(std::uint32_t number, std::uint32_t flags, std::uint64_t keywords,
                                std::uint64_t modseq) {
  if (number == 0 || number > messages_.size()) return;
  KnownMessage& m = messages_[number - 1];
  m.flags = flags;
  m.keywords = keywords;
  m.modseq = modseq;
  highestModseq_ = std::max(highestModseq_, modseq);
}

bool SelectedMailbox::update(std::string& out, const UpdateStyle& style) {
  if (box_->removed()) return false;
  const bool anyGone = std::any_of(messages_.begin(), messages_.end(), [](const KnownMessage& m) { return m.gone; });
  const std::uint64_t changes = box_->changeCount();
  if (changes == seenChanges_ && !(anyGone && style.expunges)) return true;
  const auto snapshot = box_->snapshot();
  const spool::MailboxIndex& index = *snapshot;
  seenChanges_ = changes;
  if (index.uidValidity != uidValidity_) return false;
  if (index.keywords.size() > keywords_.size()) {
    keywords_ = index.keywords;
    out += keywordLines();
  }
  // What went and what changed, walking both lists in UID order.
  std::vector<std::uint32_t> changedUids;
  std::size_t j = 0;
  for (KnownMessage& m : messages_) {
    while (j < index.messages.size() && index.messages[j].uid < m.uid) ++j;
    if (j == index.messages.size() || index.messages[j].uid != m.uid) {
      m.gone = true;
      continue;
    }
    const spool::IndexedMessage& now = index.messages[j];
    if (!m.gone && (now.flags != m.flags || now.keywords != m.keywords)) changedUids.push_back(m.uid);
    m.flags = now.flags;
    m.keywords = now.keywords;
    m.modseq = now.modseq;
  }
  if (style.expunges) {
    std::vector<std::uint32_t> vanished;
    std::uint32_t removed = 0;
    for (std::size_t i = 0; i < messages_.size(); ++i) {
      if (!messages_[i].gone) continue;
      if (style.qresync) vanished.push_back(messages_[i].uid);
      else out += "* " + std::to_string(i + 1 - removed) + " EXPUNGE\r\n";
      ++removed;
    }
    if (!vanished.empty()) out += "* VANISHED " + FormatSequenceSet(vanished) + "\r\n";
    std::erase_if(messages_, [](const KnownMessage& m) { return m.gone; });
  }
  for (const std::uint32_t uid : changedUids) {
    const auto number = numberOf(uid);
    if (!number) continue;
    const KnownMessage& m = messages_[*number - 1];
    out += "* " + std::to_string(*number) + " FETCH (";
    if (style.qresync || style.uids) out += "UID " + std::to_string(m.uid) + " ";
    out += "FLAGS " + flagList(m.flags, m.keywords, m.recent);
    if (style.condstore) out += " MODSEQ (" + std::to_string(m.modseq) + ")";
    out += ")\r\n";
  }
  const std::size_t before = messages_.size();
  const std::uint32_t largest = largestUid();
  std::uint32_t firstRecent = UINT32_MAX;
  if (claimRecent_ && !index.messages.empty() && index.messages.back().uid > largest) {
    firstRecent = Claim(*box_, index);
  }
  for (const spool::IndexedMessage& m : index.messages) {
    if (m.uid <= largest) continue;
    messages_.push_back({m.uid, m.flags, m.keywords, m.modseq, m.uid >= firstRecent, false});
  }
  uidNext_ = index.uidNext;
  highestModseq_ = index.highestModseq;
  if (messages_.size() != before) {
    out += "* " + std::to_string(messages_.size()) + " EXISTS\r\n";
    if (style.recent) out += "* " + std::to_string(recentCount()) + " RECENT\r\n";
  }
  return true;
}

}  // namespace quelma::imap_server
