// The pool of empty delivery journals.
#include "spool/delivery_journals.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/files.h"

namespace quelma::spool {
namespace {

struct JournalSlots {
  std::mutex mutex;
  std::vector<std::string> free;
  std::vector<std::string> unsynced;  // of the free ones: emptied, the emptying not yet synced
};

JournalSlots& FreeJournals() {
  static JournalSlots slots;
  return slots;
}

std::vector<std::string> TakeAllFreeJournals() {
  JournalSlots& slots = FreeJournals();
  std::lock_guard<std::mutex> hold(slots.mutex);
  slots.unsynced.clear();
  return std::exchange(slots.free, {});
}

}  // namespace

std::optional<std::string> TakeFreeJournal(const std::string& directory) {
  JournalSlots& slots = FreeJournals();
  std::lock_guard<std::mutex> hold(slots.mutex);
  const auto it = std::find_if(slots.free.begin(), slots.free.end(),
                               [&](const std::string& path) { return path.starts_with(directory); });
  if (it == slots.free.end()) return std::nullopt;
  std::string path = *it;
  // A journal taken away behind the program's back is not in place any more: a new one is made.
  if (!platform::FileExists(path)) {
    slots.free.erase(it);
    std::erase(slots.unsynced, path);
    return std::nullopt;
  }
  slots.free.erase(it);
  std::erase(slots.unsynced, path);  // the next intent is written over it, synced
  return path;
}

void ForgetFreeJournals(const std::string& directory) {
  JournalSlots& slots = FreeJournals();
  std::lock_guard<std::mutex> hold(slots.mutex);
  std::erase_if(slots.free, [&](const std::string& path) { return path.starts_with(directory); });
  std::erase_if(slots.unsynced, [&](const std::string& path) { return path.starts_with(directory); });
}

void GiveBackJournal(const std::string& path, bool synced) {
  JournalSlots& slots = FreeJournals();
  std::lock_guard<std::mutex> hold(slots.mutex);
  slots.free.push_back(path);
  if (!synced) slots.unsynced.push_back(path);
}

bool EmptyJournal(const std::string& path, bool durable) {
  auto file = platform::OutputFile::Create(path, platform::CreateMode::kAppend);
  return file && file->truncate(0) && (!durable || file->sync()) && file->close();
}

bool SyncIdleJournals() {
  JournalSlots& slots = FreeJournals();
  std::lock_guard<std::mutex> hold(slots.mutex);
  bool synced = true;
  for (auto it = slots.unsynced.begin(); it != slots.unsynced.end();) {
    // One that is gone (its directory with it) can bring nothing back: it leaves the pool.
    if (!platform::FileExists(*it)) {
      std::erase(slots.free, *it);
      it = slots.unsynced.erase(it);
      continue;
    }
    auto file = platform::OutputFile::Create(*it, platform::CreateMode::kAppend);
    if (file && file->sync() && file->close()) {
      it = slots.unsynced.erase(it);
    } else {
      synced = false;
      ++it;
    }
  }
  return synced;
}

void RemoveIdleJournals() {
  for (const std::string& path : TakeAllFreeJournals()) platform::RemoveFile(path);
}

}  // namespace quelma::spool
