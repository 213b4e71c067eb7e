// The ledger file "KEY.uidl": a line "U id" for a stored message, "D day id" for the day it
// was stored, "N id" for a message the postmaster was told about, "P number id" for one
// whose download file is being published, "M id mark" for an IMAP message's mark and "V
// validity" for an IMAP folder's UIDVALIDITY and "L uid" for the last UID it has seen. Older builds read the "U" and "P" lines only.
#include "spool/uid_ledger.h"

#include <cstdlib>

#include "platform/files.h"
#include "spool/download_files.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kLargestLedger = 64 << 20;

std::string DownloadFileName(const std::string& accountKey, std::uint64_t number) {
  return accountKey + "-" + std::to_string(number) + ".popfile";
}

// "number id" of a "P" or "D" line; false when the line is not one.
bool NumberAndUid(const std::string& rest, std::uint64_t& number, std::string& uid) {
  if (rest.empty() || rest[0] < '0' || rest[0] > '9') return false;
  char* end = nullptr;
  number = std::strtoull(rest.c_str(), &end, 10);
  if (*end != ' ' || !IsValidUid(end + 1)) return false;
  uid = end + 1;
  return true;
}

}  // namespace

bool IsValidUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 70) return false;
  for (const char c : uid) {
    if (c < '!' || c > '~') return false;
  }
  return true;
}

std::string FolderKey(const std::string& folder) { return AccountKey(folder, "~"); }

void SettleLedgers(const std::string& programDir) {
  for (const auto& name : platform::ListDirectory(programDir, "*.uidl")) {
    const std::string stem = name.substr(0, name.size() - 5);
    const std::size_t tilde = stem.find('~');
    UidLedger ledger(programDir, stem.substr(0, tilde));
    if (tilde != std::string::npos) ledger.path_ = programDir + name;
    ledger.load();
  }
}

UidLedger::UidLedger(const std::string& programDir, const std::string& accountKey, std::int32_t today)
    : programDir_(programDir), accountKey_(accountKey), path_(programDir + accountKey + ".uidl"), today_(today) {}

UidLedger::UidLedger(const std::string& programDir, const std::string& accountKey, const std::string& folder,
                     std::int32_t today)
    : programDir_(programDir),
      accountKey_(accountKey),
      path_(programDir + accountKey + "~" + FolderKey(folder) + ".uidl"),
      today_(today) {}

std::string UidLedger::mark(const std::string& uid) const {
  const auto found = marks_.find(uid);
  return found == marks_.end() ? std::string() : found->second;
}

std::int32_t UidLedger::storedDay(const std::string& uid) const {
  const auto found = stored_.find(uid);
  return found == stored_.end() ? 0 : found->second;
}

bool UidLedger::load() {
  stored_.clear();
  pending_.clear();
  noticed_.clear();
  marks_.clear();
  validity_.clear();
  last_ = 0;
  std::map<std::string, std::int32_t> days;
  bool clean = true;  // every line whole and readable: otherwise the file is written anew
  // An unreadable ledger counts as empty: at worst a message comes once more, none is lost.
  const std::string text = platform::ReadWholeFile(path_, kLargestLedger).value_or(std::string());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t lf = text.find('\n', at);
    const std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
    at = lf == std::string::npos ? text.size() : lf + 1;
    const std::string rest = line.size() > 2 && line[1] == ' ' ? line.substr(2) : std::string();
    std::uint64_t number = 0;
    std::string uid;
    bool read = false;
    if (line[0] == 'U' && IsValidUid(rest)) {
      stored_.emplace(rest, 0);
      read = true;
    } else if (line[0] == 'N' && IsValidUid(rest)) {
      noticed_.insert(rest);
      read = true;
    } else if (line[0] == 'P' && NumberAndUid(rest, number, uid)) {
      pending_[uid] = number;
      read = true;
    } else if (line[0] == 'M' && rest.find(' ') != std::string::npos &&
               IsValidUid(rest.substr(0, rest.find(' '))) && IsValidUid(rest.substr(rest.find(' ') + 1))) {
      marks_[rest.substr(0, rest.find(' '))] = rest.substr(rest.find(' ') + 1);
      read = true;
    } else if (line[0] == 'L' && !rest.empty() && rest.size() <= 10 &&
               rest.find_first_not_of("0123456789") == std::string::npos && std::stoull(rest) <= 0xFFFFFFFFull) {
      last_ = static_cast<std::uint32_t>(std::stoull(rest));
      read = true;
    } else if (line[0] == 'V' && IsValidUid(rest)) {
      validity_ = rest;
      read = true;
    } else if (line[0] == 'D' && NumberAndUid(rest, number, uid) && number > 0 && number < 10000000) {
      days[uid] = static_cast<std::int32_t>(number);
      read = true;
    }
    clean = clean && read && lf != std::string::npos;
  }
  for (auto& [uid, day] : stored_) {
    if (const auto found = days.find(uid); found != days.end()) {
      day = found->second;
    } else if (today_ > 0) {
      day = today_;  // stored by a build that kept no days: counted from now
      clean = false;
    }
  }
  // An id settled by an appended line stands whatever its pending line said; the pending
  // lines go when the ledger is written anew here.
  const bool compact = !clean || !pending_.empty();
  std::erase_if(pending_, [this](const auto& p) { return stored_.contains(p.first); });
  std::erase_if(marks_, [this](const auto& m) { return !stored_.contains(m.first) && !pending_.contains(m.first); });
  return settle(nullptr, false) && (!compact || write());
}

bool UidLedger::willStoreMarked(const std::map<std::string, std::string>& marked, std::uint64_t number) {
  std::string lines;
  for (const auto& [uid, mark] : marked) {
    pending_[uid] = number;
    lines += "P " + std::to_string(number) + " " + uid + "\n";
    if (IsValidUid(mark)) {
      marks_[uid] = mark;
      lines += "M " + uid + " " + mark + "\n";
    }
  }
  return lines.empty() || platform::AppendToFile(path_, lines, true);
}

bool UidLedger::forget(const std::set<std::string>& uids) {
  std::size_t gone = 0;
  for (const std::string& uid : uids) {
    gone += stored_.erase(uid);
    marks_.erase(uid);
  }
  return gone == 0 || write();
}

bool UidLedger::setValidity(const std::string& validity) {
  if (validity == validity_) return true;
  validity_ = validity;
  last_ = 0;
  return write();
}

bool UidLedger::setLast(std::uint32_t uid) {
  if (uid == last_) return true;
  last_ = uid;
  return write();
}

bool UidLedger::renumber(const std::string& validity, const std::map<std::string, std::string>& carried) {
  std::map<std::string, std::int32_t> stored;
  std::map<std::string, std::string> marks;
  for (const auto& [now, before] : carried) {
    stored[now] = storedDay(before) > 0 ? storedDay(before) : today_;
    if (const auto found = marks_.find(before); found != marks_.end()) marks[now] = found->second;
  }
  stored_ = std::move(stored);
  marks_ = std::move(marks);
  noticed_.clear();
  pending_.clear();
  validity_ = validity;
  last_ = 0;
  return write();
}

bool UidLedger::willStore(const std::set<std::string>& uids, std::uint64_t number) {
  std::string lines;
  for (const std::string& uid : uids) {
    pending_[uid] = number;
    lines += "P " + std::to_string(number) + " " + uid + "\n";
  }
  return lines.empty() || platform::AppendToFile(path_, lines, true);
}

bool UidLedger::settle(const std::set<std::string>* listed) { return settle(listed, true); }

// While a download runs, the ids of each published file are settled by lines appended (no
// new file for every download file); an id whose file never came, or one the provider no
// longer lists, has the ledger written anew, so that no pending line outlives its file.
bool UidLedger::settle(const std::set<std::string>* listed, bool append) {
  bool changed = !pending_.empty();
  bool unpublished = false;
  std::string lines;
  for (const auto& [uid, number] : pending_) {
    if (platform::FileExists(programDir_ + DownloadFileName(accountKey_, number))) {
      stored_.emplace(uid, today_);
      lines += "U " + uid + "\n";
      if (today_ > 0) lines += "D " + std::to_string(today_) + " " + uid + "\n";
    } else {
      marks_.erase(uid);
      unpublished = true;
    }
  }
  pending_.clear();
  if (listed && std::erase_if(stored_, [listed](const auto& entry) { return !listed->contains(entry.first); }) > 0) {
    unpublished = true;
  }
  if (append && !unpublished) return lines.empty() || platform::AppendToFile(path_, lines, true);
  return !(changed || unpublished) || write();
}

bool UidLedger::markNoticed(const std::string& key) {
  if (!IsValidUid(key) || !noticed_.insert(key).second) return true;
  return platform::AppendToFile(path_, "N " + key + "\n", true);
}

bool UidLedger::keepNoticesOf(const std::set<std::string>& seen) {
  return std::erase_if(noticed_, [&seen](const std::string& key) { return !seen.contains(key); }) == 0 || write();
}

bool UidLedger::write() {
  if (stored_.empty() && noticed_.empty() && validity_.empty()) {
    return platform::RemoveFile(path_) || !platform::FileExists(path_);
  }
  std::string text = validity_.empty() ? std::string() : "V " + validity_ + "\n";
  if (last_ > 0) text += "L " + std::to_string(last_) + "\n";
  for (const auto& [uid, day] : stored_) {
    text += "U " + uid + "\n";
    if (day > 0) text += "D " + std::to_string(day) + " " + uid + "\n";
    if (const auto found = marks_.find(uid); found != marks_.end()) text += "M " + uid + " " + found->second + "\n";
  }
  for (const std::string& key : noticed_) text += "N " + key + "\n";
  return platform::AtomicReplace(path_, text) == platform::WriteResult::kWritten;
}

}  // namespace quelma::spool
