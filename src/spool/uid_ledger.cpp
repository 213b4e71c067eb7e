// The ledger file "KEY.uidl": a line "U id" for a stored message, "P number id" for one whose
// download file is being published.
#include "spool/uid_ledger.h"

#include <cstdlib>

#include "platform/files.h"

namespace quelma::spool {
namespace {

std::string DownloadFileName(const std::string& accountKey, std::uint64_t number) {
  return accountKey + "-" + std::to_string(number) + ".popfile";
}

}  // namespace

bool IsValidUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 70) return false;
  for (const char c : uid) {
    if (c < '!' || c > '~') return false;
  }
  return true;
}

void SettleLedgers(const std::string& programDir) {
  for (const auto& name : platform::ListDirectory(programDir, "*.uidl")) {
    UidLedger(programDir, name.substr(0, name.size() - 5)).load();
  }
}

UidLedger::UidLedger(const std::string& programDir, const std::string& accountKey)
    : programDir_(programDir), accountKey_(accountKey), path_(programDir + accountKey + ".uidl") {}

bool UidLedger::load() {
  stored_.clear();
  pending_.clear();
  bool clean = true;  // every line whole and readable: otherwise the file is written anew
  if (auto in = platform::InputFile::Open(path_)) {
    std::string text, buffer(64 * 1024, '\0');
    for (std::size_t n; (n = in->read(buffer.data(), buffer.size())) > 0;) text.append(buffer, 0, n);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t lf = text.find('\n', at);
      const std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
      at = lf == std::string::npos ? text.size() : lf + 1;
      bool read = false;
      if (line.starts_with("U ") && IsValidUid(line.substr(2))) {
        stored_.insert(line.substr(2));
        read = true;
      } else if (line.starts_with("P ")) {
        char* end = nullptr;
        const std::uint64_t number = std::strtoull(line.c_str() + 2, &end, 10);
        if (*end == ' ' && IsValidUid(end + 1)) {
          pending_[end + 1] = number;
          read = true;
        }
      }
      clean = clean && read && lf != std::string::npos;
    }
  }
  return settle(nullptr) && (clean || write());
}

bool UidLedger::willStore(const std::set<std::string>& uids, std::uint64_t number) {
  std::string lines;
  for (const std::string& uid : uids) {
    pending_[uid] = number;
    lines += "P " + std::to_string(number) + " " + uid + "\n";
  }
  return lines.empty() || platform::AppendToFile(path_, lines, true);
}

bool UidLedger::settle(const std::set<std::string>* listed) {
  bool changed = !pending_.empty();
  for (const auto& [uid, number] : pending_) {
    if (platform::FileExists(programDir_ + DownloadFileName(accountKey_, number))) stored_.insert(uid);
  }
  pending_.clear();
  if (listed && std::erase_if(stored_, [listed](const std::string& uid) { return !listed->contains(uid); }) > 0) {
    changed = true;
  }
  return !changed || write();
}

bool UidLedger::write() {
  if (stored_.empty()) return platform::RemoveFile(path_) || !platform::FileExists(path_);
  std::string text;
  for (const std::string& uid : stored_) text += "U " + uid + "\n";
  return platform::AtomicReplace(path_, text) == platform::WriteResult::kWritten;
}

}  // namespace quelma::spool
