// The delivery journals kept for use again: a delivery that ended cleanly leaves its journal
// empty, and the next one writes its intent into it in place, one sync, where a new file would
// need its directory synced too. An empty journal is nothing to recover.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quelma::spool {

// An empty journal on disk in `directory` that no delivery uses now, if there is one.
std::optional<std::string> TakeFreeJournal(const std::string& directory);
// `synced`: its emptying is on disk.
void GiveBackJournal(const std::string& path, bool synced);
// At start: the journals on disk are recovered and removed, none is free.
void ForgetFreeJournals(const std::string& directory);

// Emptied: what a crash finds there then is nothing to recover. Unsynced, the old intent may
// come back after a power loss; it then finds its appends whole and keeps them.
bool EmptyJournal(const std::string& path, bool durable);

// Before a maildrop is changed otherwise than by an append (a compaction): every emptied
// journal's emptying is synced, so that no old intent can come back and cut the changed file.
bool SyncIdleJournals();

// At the end, when no delivery runs any more: the empty journals kept for later deliveries go.
void RemoveIdleJournals();

}  // namespace quelma::spool
