// The unique ids (UIDL) of one provider account's messages already stored, so that a message
// left on the provider (by an interrupted session, or on purpose for "keep=") is never
// downloaded again. An id goes in as pending, with the number of its download file, before
// that file is published; it stands once the file is there, with the day it was stored, and
// goes when the provider no longer lists it. The ledger also remembers the messages the
// postmaster has been told about (too large to download), so each is told once.
// An IMAP account keeps one ledger per folder ("KEY~FOLDER.uidl"): its ids are the folder's
// UIDs, each with a mark (size and Message-ID) that finds it again when the folder's
// UIDVALIDITY changes, and the ledger holds that UIDVALIDITY.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace quelma::spool {

class UidLedger {
 public:
  // `today` (days since 1970, local date) stamps the ids stored without a day.
  UidLedger(const std::string& programDir, const std::string& accountKey, std::int32_t today = 0);
  // The ledger of one IMAP folder of the account: its file is named after both.
  UidLedger(const std::string& programDir, const std::string& accountKey, const std::string& folder,
            std::int32_t today);

  // Reads the ledger and settles it: a pending id whose download file was published stands,
  // one whose file never was goes. Run before anything sorts this account's files. False
  // when the ledger could not be written back.
  bool load();

  bool contains(const std::string& uid) const { return stored_.contains(uid); }
  // The day a stored message was stored (days since 1970); 0 when it is not stored.
  std::int32_t storedDay(const std::string& uid) const;
  const std::string& path() const { return path_; }
  std::int32_t today() const { return today_; }

  // Before download file `number` is published: its ids, pending, synced to disk.
  bool willStore(const std::set<std::string>& uids, std::uint64_t number);
  // The same with a mark for each id (no blanks).
  bool willStoreMarked(const std::map<std::string, std::string>& marked, std::uint64_t number);
  const std::map<std::string, std::int32_t>& stored() const { return stored_; }
  std::string mark(const std::string& uid) const;
  // The messages named are gone from the provider (expunged or moved by us): rewritten.
  bool forget(const std::set<std::string>& uids);

  // The folder's UIDVALIDITY as the ledger's ids mean it; empty for none yet.
  const std::string& validity() const { return validity_; }
  bool setValidity(const std::string& validity);
  // The highest UID of the folder below which every message is stored, told about, or left on
  // purpose: the next listing begins above it. 0 for none.
  std::uint32_t last() const { return last_; }
  bool setLast(std::uint32_t uid);
  // The folder got a new UIDVALIDITY: the ledger holds, for each id of `carried` (new id ->
  // old id), the old one's day and mark, and nothing else; notices are forgotten.
  bool renumber(const std::string& validity, const std::map<std::string, std::string>& carried);

  // Every pending id whose file is published stands; ids the provider no longer lists (when
  // `listed` is given) go. Settled ids are appended; the ledger is rewritten when anything
  // went.
  bool settle(const std::set<std::string>* listed);

  // The postmaster has been told about the message `key` (its id): synced before it returns.
  bool noticed(const std::string& key) const { return noticed_.contains(key); }
  bool markNoticed(const std::string& key);
  const std::set<std::string>& noticedKeys() const { return noticed_; }
  // After a session has seen every message: the notes of messages no longer there go.
  bool keepNoticesOf(const std::set<std::string>& seen);

 private:
  friend void SettleLedgers(const std::string& programDir);
  bool settle(const std::set<std::string>* listed, bool append);
  bool write();
  std::string programDir_;
  std::string accountKey_;  // names the download files
  std::string validity_;
  std::uint32_t last_ = 0;
  std::map<std::string, std::string> marks_;
  std::string path_;
  std::int32_t today_;
  std::map<std::string, std::int32_t> stored_;  // id -> the day it was stored
  std::map<std::string, std::uint64_t> pending_;  // id -> download file number
  std::set<std::string> noticed_;
};

// Settles every account's ledger in the program directory: what sorts download files runs
// it first, so that no file is taken while a ledger still holds its ids as pending.
void SettleLedgers(const std::string& programDir);

// The name an IMAP folder's ledger has beside the account's: eight hexadecimal digits.
std::string FolderKey(const std::string& folder);

// A provider's UIDL id as the ledger keeps it: 1 to 70 characters from "!" to "~".
bool IsValidUid(const std::string& uid);

}  // namespace quelma::spool
