// The delivery journal: its records, the commit, the undo, and recovery after a crash.
#include "spool/delivery.h"

#include <cstdlib>

#include "platform/files.h"
#include "platform/unique_tick.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"

namespace quelma::spool {
namespace {

constexpr char kIntent[] = "QUELMA-DELIVERY intent";
constexpr char kCommitted[] = "QUELMA-DELIVERY commit";

std::string JournalPath(const config::Configuration& config) { return config.MailDropDir + "delivery.journal"; }

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

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  auto in = platform::InputFile::Open(path);
  if (!in) return lines;
  std::string text, buffer(4096, '\0');
  for (std::size_t n; (n = in->read(buffer.data(), buffer.size())) > 0;) text.append(buffer, 0, n);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t lf = text.find('\n', at);
    lines.push_back(text.substr(at, lf == std::string::npos ? std::string::npos : lf - at));
    at = lf == std::string::npos ? text.size() : lf + 1;
  }
  return lines;
}

void CutBack(const std::string& path, const std::string& sizeField) {
  if (sizeField == "-") {
    platform::RemoveFile(path);
    return;
  }
  const std::uint64_t size = std::strtoull(sizeField.c_str(), nullptr, 10);
  if (platform::FileSize(path).value_or(0) > size) platform::TruncateFile(path, size);
}

void RemoveJournal(const std::string& journal) {
  platform::RemoveFile(journal);
  platform::SyncParentDirectory(journal);
}

// Undoes an interrupted delivery (its journal says intent) or finishes a committed one.
void Recover(const config::Configuration& config) {
  const std::string journal = JournalPath(config);
  const auto lines = ReadLines(journal);
  if (lines.empty()) {
    platform::RemoveFile(journal);
    return;
  }
  const bool committed = lines[0] == kCommitted;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto f = SplitFields(lines[i]);
    if (!committed && f.size() == 3 && f[0] == "A") CutBack(f[2], f[1]);
    if (!committed && f.size() == 3 && f[0] == "S") platform::RemoveFile(f[2]);
    if (committed && f.size() == 3 && f[0] == "P" && platform::FileExists(f[1])) {
      platform::RenameNoReplace(f[1], f[2]);
      platform::SyncParentDirectory(f[2]);
    }
    if (committed && f.size() == 2 && f[0] == "C") platform::RemoveFile(f[1]);
  }
  RemoveJournal(journal);
}

}  // namespace

std::mutex& DeliveryLock() {
  static std::mutex lock;
  return lock;
}

void RecoverDeliveries(const config::Configuration& config) {
  std::lock_guard<std::mutex> hold(DeliveryLock());
  if (platform::FileExists(JournalPath(config))) Recover(config);
}

bool MakeSpoolDirectories(const config::Configuration& config) {
  bool ready = true;
  for (const std::string& dir : {config.MailDropDir, config.QueueDir}) {
    if (!platform::IsDirectory(dir) && !platform::MakeDirectory(dir)) ready = false;
  }
  return ready;
}

bool PrepareSpool(const config::Configuration& config) {
  if (!MakeSpoolDirectories(config)) return false;
  RecoverDeliveries(config);
  // Work files a crash left: nothing is being delivered now, so none of them is wanted.
  for (const char* pattern : {"sorter-*.tmp", "smtps*.tmp"}) {
    for (const auto& name : platform::ListDirectory(config.QueueDir, pattern)) platform::RemoveFile(config.QueueDir + name);
  }
  platform::RemoveFile(MaildropCommitWorkPath(config));
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

Delivery::Delivery(const config::Configuration& config)
    : config_(config), journal_(JournalPath(config)), hold_(DeliveryLock()) {
  if (platform::FileExists(journal_)) Recover(config_);
}

Delivery::~Delivery() {
  if (open_) rollback();
}

bool Delivery::writeJournal(bool committed) {
  std::string text = committed ? kCommitted : kIntent;
  text += "\n";
  for (const Append& a : appends_) {
    text += "A\t" + (a.sizeBefore ? std::to_string(*a.sizeBefore) : std::string("-")) + "\t" + a.path + "\n";
  }
  for (const Staged& s : staged_) {
    text += committed ? "P\t" + s.stagedPath + "\t" + config_.QueueDir + s.finalName + "\n"
                      : "S\t" + std::to_string(s.tick) + "\t" + s.stagedPath + "\n";
  }
  if (committed) {
    for (const std::string& source : sources_) text += "C\t" + source + "\n";
  }
  if (platform::AtomicReplace(journal_, text) != platform::WriteResult::kWritten) return false;
  platform::SyncParentDirectory(journal_);
  return true;
}

bool Delivery::willAppend(const std::vector<std::string>& maildrops) {
  bool added = false;
  for (const std::string& path : maildrops) {
    bool known = false;
    for (const Append& a : appends_) known = known || a.path == path;
    if (known) continue;
    appends_.push_back({path, platform::FileSize(path)});
    added = true;
  }
  return !added || writeJournal(false);
}

bool Delivery::willPublish(const std::string& stagedPath, std::uint32_t tick) {
  staged_.push_back({stagedPath, std::string(), tick});
  return true;
}

bool Delivery::consumes(const std::string& path) {
  sources_.push_back(path);
  return true;
}

std::optional<std::vector<std::string>> Delivery::commit() {
  for (const Append& a : appends_) {
    if (!platform::FileExists(a.path)) continue;  // a maildrop that could not be opened got nothing
    auto file = platform::OutputFile::Create(a.path, platform::CreateMode::kAppend);
    if (!file || !file->sync() || !file->close()) {
      rollback();
      return std::nullopt;
    }
    if (!a.sizeBefore) platform::SyncParentDirectory(a.path);
  }
  std::vector<std::string> names;
  for (Staged& s : staged_) {
    const auto name = ChooseQueueFileName(config_.QueueDir, s.tick, names);
    if (!name) {
      rollback();
      return std::nullopt;
    }
    s.finalName = *name;
    names.push_back(*name);
  }
  if (staged_.empty() && sources_.empty()) {
    // Only appends: removing the journal is the commit.
    if (!appends_.empty()) RemoveJournal(journal_);
    open_ = false;
    return names;
  }
  if (!writeJournal(true)) {
    rollback();
    return std::nullopt;
  }
  open_ = false;
  for (const Staged& s : staged_) platform::RenameNoReplace(s.stagedPath, config_.QueueDir + s.finalName);
  if (!staged_.empty()) platform::SyncParentDirectory(config_.QueueDir + names.front());
  for (const std::string& source : sources_) platform::RemoveFile(source);
  platform::RemoveFile(journal_);
  return names;
}

void Delivery::rollback() {
  if (!open_) return;
  open_ = false;
  for (auto it = appends_.rbegin(); it != appends_.rend(); ++it) {
    CutBack(it->path, it->sizeBefore ? std::to_string(*it->sizeBefore) : std::string("-"));
  }
  for (const Staged& s : staged_) platform::RemoveFile(s.stagedPath);
  if (!appends_.empty()) RemoveJournal(journal_);
}

}  // namespace quelma::spool
