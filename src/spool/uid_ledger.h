// The unique ids (UIDL) of one provider account's messages already stored, so that a message
// left on the provider by an interrupted session is deleted there, not downloaded again. An
// id goes in as pending, with the number of its download file, before that file is
// published; it stands once the file is there, and goes when the provider no longer lists it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace quelma::spool {

class UidLedger {
 public:
  UidLedger(const std::string& programDir, const std::string& accountKey);

  // Reads the ledger and settles it: a pending id whose download file was published stands,
  // one whose file never was goes. Run before anything sorts this account's files. False
  // when the ledger could not be written back.
  bool load();

  bool contains(const std::string& uid) const { return stored_.contains(uid); }
  const std::string& path() const { return path_; }

  // Before download file `number` is published: its ids, pending, synced to disk.
  bool willStore(const std::set<std::string>& uids, std::uint64_t number);

  // Every pending id whose file is published stands; ids the provider no longer lists (when
  // `listed` is given) go. The ledger is rewritten when anything changed.
  bool settle(const std::set<std::string>* listed);

 private:
  bool write();
  std::string programDir_;
  std::string accountKey_;
  std::string path_;
  std::set<std::string> stored_;
  std::map<std::string, std::uint64_t> pending_;  // id -> download file number
};

// Settles every account's ledger in the program directory: what sorts download files runs
// it first, so that no file is taken while a ledger still holds its ids as pending.
void SettleLedgers(const std::string& programDir);

// A provider's UIDL id as the ledger keeps it: 1 to 70 characters from "!" to "~".
bool IsValidUid(const std::string& uid);

}  // namespace quelma::spool
