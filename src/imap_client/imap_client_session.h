// The dialogue with the provider's IMAP server for one account: greeting, CAPABILITY,
// (STARTTLS,) LOGIN or AUTHENTICATE, then for each folder SELECT, a listing of the messages
// above the last one the ledger knows, UID FETCH ... BODY.PEEK[] of the new ones into
// download files (never marking them read), and for what is no longer kept UID STORE \Deleted
// with UID EXPUNGE, or UID MOVE; LOGOUT. For push the session waits in IDLE on a folder. It
// speaks through any byte stream, so a test can play the server without a socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "imap_client/imap_client_error.h"
#include "imap_client/imap_response.h"
#include "link/activity_log.h"
#include "net/access_token_source.h"
#include "net/byte_stream.h"
#include "net/line_receiver.h"
#include "net/tls.h"
#include "sorting/size_notice.h"
#include "spool/download_files.h"
#include "spool/download_store.h"
#include "spool/uid_ledger.h"

namespace quelma::imap_client {

class ImapClientSession {
 public:
  // `today` (days since 1970) dates what is stored for "keep="; with `starttls` the session
  // asks for TLS before it logs in (a server that does not offer it is an error).
  ImapClientSession(net::ByteStream& stream, const config::ProviderAccount& account, std::string programDir,
                    link::ActivityLog& log, std::int32_t today, const net::TlsClient* starttls = nullptr,
                    net::AccessTokenSource* tokens = nullptr);

  // The greeting up to a successful login and the capabilities after it.
  ImapClientError open();
  // One folder: select it, download what is new, remove at the provider what is no longer kept.
  ImapClientError collect(const std::string& folder);
  // Every folder of the account in turn, between open() and logout().
  ImapClientError run();
  // For the settings check: EXAMINE of a folder (nothing fetched, nothing changed); its
  // number of messages.
  ImapClientError examine(const std::string& folder, std::uint32_t& messages);
  // LOGOUT and its answer (a failure of either is no error: everything is done by then).
  void logout();

  // For push: after collect(folder), waits in IDLE until the server tells of new mail
  // (true), `renewMs` pass, or `stop` is set (false either way). Errors end the wait too.
  ImapClientError idle(std::uint32_t renewMs, const std::atomic<bool>& stop, bool& newMail);
  bool offers(std::string_view capability) const { return capabilities_.contains(std::string(capability)); }
  // What the server offers as the session last learnt it (upper case), for the settings check.
  const std::set<std::string>& capabilities() const { return capabilities_; }

  // Told once about each message larger than the account's "maxsize="; true when the
  // postmaster has been told.
  void onTooLarge(std::function<bool(const sorting::LeftAtProvider&)> tell) { tellTooLarge_ = std::move(tell); }
  // The share of this folder's new octets received, 0..100, as it grows.
  void onProgress(std::function<void(int)> progress) { progress_ = std::move(progress); }
  // For the settings check: each step's line as the log gives it.
  unsigned long downloaded() const { return downloaded_; }
  // The messages of the last collect() whose download file is published.
  const std::vector<std::uint32_t>& storedNow() const { return storedNow_; }
  // Hears of each download file once it is published with its UIDs standing in the ledger:
  // from then on the sorter may take it (files are published while the next one comes).
  void onStored(std::function<void(const std::string& path)> stored) { stored_ = std::move(stored); }

 private:
  struct Listed {
    std::uint64_t size = 0;
    std::string mark;  // size and Message-ID, when the listing asked for it
  };
  using Handler = std::function<ImapClientError(const ImapResponse&)>;

  // Sends "TAG command" and reads responses up to the tagged one, each untagged one to
  // `untagged`; `tagged` gets the tagged response's status ("OK", "NO", "BAD").
  ImapClientError command(const std::string& text, std::string& tagged, const Handler& untagged = {},
                          const ResponseReader::ChooseSink& sinks = {});
  ImapClientError receive(ImapResponse& response, const ResponseReader::ChooseSink& sinks = {});
  ImapClientError common(const ImapResponse& response);
  void takeCapabilities(std::string_view words);
  ImapClientError greeting();
  ImapClientError startTls();
  ImapClientError login();
  ImapClientError loginWithToken();
  ImapClientError select(const std::string& folder, spool::UidLedger& ledger, bool& renumbered);
  ImapClientError list(std::uint32_t from, bool withMarks, std::map<std::uint32_t, Listed>& listed);
  ImapClientError listUids(std::uint32_t from, std::map<std::uint32_t, Listed>& listed);
  ImapClientError renumber(spool::UidLedger& ledger, const std::string& validity);
  ImapClientError download(const std::vector<std::uint32_t>& uids, std::uint64_t total, spool::UidLedger& ledger,
                           const std::string& folder);
  ImapClientError tooLarge(std::uint32_t uid, std::uint64_t size, spool::UidLedger& ledger, const std::string& folder);
  ImapClientError remove(spool::UidLedger& ledger);
  ImapClientError expunge(const std::vector<std::uint32_t>& uids, bool& done);
  bool storeBatch(spool::DownloadStore& store);
  bool awaitStored(spool::DownloadStore& store);
  void log(const std::string& text) { log_.LogImapClient(text); }

  net::ByteStream* stream_;
  std::unique_ptr<net::ByteStream> secure_;
  const net::TlsClient* starttls_;
  const config::ProviderAccount& account_;
  std::string programDir_;
  link::ActivityLog& log_;
  std::int32_t today_;
  net::AccessTokenSource* tokens_;
  std::string accountKey_;
  std::uint64_t nextFile_;
  net::LineReceiver lines_{*stream_, kReceiveSize};
  ResponseReader reader_{lines_};
  std::set<std::string> capabilities_;  // upper case
  bool capabilitiesKnown_ = false;
  bool loggingOut_ = false;
  unsigned long tag_ = 0;
  std::function<bool(const sorting::LeftAtProvider&)> tellTooLarge_;
  std::function<void(int)> progress_;
  unsigned long downloaded_ = 0;
  std::vector<std::uint32_t> storedNow_;
  std::function<void(const std::string& path)> stored_;
  // The selected folder.
  std::uint32_t exists_ = 0;
  std::string validity_;
  std::optional<std::uint32_t> uidNext_;
  bool newMail_ = false;  // an EXISTS came that raised the count
  // The download file being filled: its messages whole in it and their marks.
  std::optional<spool::DownloadFile> batch_;
  std::uint64_t batchNumber_ = 0;
  std::map<std::string, std::string> batchMessages_;
  std::uint64_t batchWhole_ = 0;
  std::vector<std::vector<std::uint32_t>> publishing_;  // the messages of each file on its way
  std::size_t publishedTaken_ = 0;  // files of the download whose messages are in storedNow_

  static constexpr std::size_t kReceiveSize = 256 * 1024;
  static constexpr std::uint64_t kBatchBytes = 8 << 20;
  static constexpr std::size_t kBatchMessages = 256;
  static constexpr std::size_t kUidsPerCommand = 2000;
};

// "1:3,7,9:12": a sequence set of UIDs (sorted, no repeats).
std::string UidSet(const std::vector<std::uint32_t>& uids);
// A message's mark in the ledger: its size and the MD5 of its Message-ID, so that it is found
// again after the folder's UIDVALIDITY changed; empty for a message without a Message-ID.
std::string MessageMark(std::uint64_t size, std::string_view messageId);
// The Message-ID field's value in a header (unfolded, trimmed); empty when there is none.
std::string MessageIdOf(std::string_view header);
// A folder's name from the settings (Windows-1251) as a command gives it: modified UTF-7, quoted.
std::string FolderArgument(const std::string& folder);

}  // namespace quelma::imap_client
