// The dialogue with the provider's POP3 server for one account, as a state machine driven by
// the server's replies: greeting, (CAPA and STLS,) APOP or USER and PASS, CAPA, STAT, UIDL, LIST, then RETR
// for the messages of one download file, the file synced once, their DELEs, and so on to
// QUIT. A server that announces PIPELINING gets each file's RETRs in one write, sent while
// the file before is still being received, and a file's DELEs with the RETRs that follow its
// publication: the provider keeps sending while a file goes to disk. Any other server gets one
// command at a time, each file on disk before its DELEs and the next RETR. It speaks through
// any byte stream, so a test can play the server without a socket.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "config/configuration.h"
#include "link/activity_log.h"
#include "link/main_window.h"
#include "net/access_token_source.h"
#include "net/byte_stream.h"
#include "net/line_receiver.h"
#include "net/tls.h"
#include "pop3_client/pop3_client_error.h"
#include "sorting/size_notice.h"
#include "spool/download_files.h"
#include "spool/download_store.h"
#include "spool/uid_ledger.h"

namespace quelma::pop3_client {

class Pop3ClientSession {
 public:
  // With a ledger the session asks for UIDL and deletes the messages already stored without
  // downloading them again; without one (or when the provider has no UIDL) it downloads all.
  // With `stls` the session asks for TLS before it logs in, and a server that does not offer
  // STLS is an error: nothing is sent in clear after the greeting but CAPA and STLS.
  // An account that logs in with OAuth takes its access tokens from `tokens`.
  Pop3ClientSession(net::ByteStream& stream, const config::ProviderAccount& account, std::string programDir,
                    link::ActivityLog& log, link::MainWindow& window, spool::UidLedger* ledger = nullptr,
                    const net::TlsClient* stls = nullptr, net::AccessTokenSource* tokens = nullptr);

  // From the greeting to the reply to QUIT; kNone when every message is in its download file
  // and the server took QUIT.
  Pop3ClientError run();

  // Told once about each message larger than the account's "maxsize=" (with the header TOP
  // gave); true when the postmaster has been told. Without it such messages are only logged.
  void onTooLarge(std::function<bool(const sorting::LeftAtProvider&)> tell) { tellTooLarge_ = std::move(tell); }

  // Told of each download file once it is published and its ids stand in the ledger: the
  // sorter may take it while the download goes on.
  void onStored(std::function<void(const std::string& path)> stored) { store_.onStored(std::move(stored)); }

  // For the settings check: after a successful login only CAPA and QUIT follow; no message is
  // listed, fetched or deleted.
  void stopAfterLogin() { stopAfterLogin_ = true; }

 private:
  enum class Phase {
    kGreeting, kStls, kSasl, kAuth, kApop, kUser, kPass, kCapa, kStat, kUidl, kList, kRetr, kDele, kQuit, kDone
  };
  using Handler = Pop3ClientError (Pop3ClientSession::*)();
  static Handler HandlerOf(Phase phase);

  Pop3ClientError greeting();
  Pop3ClientError stls();
  Pop3ClientError sasl();
  Pop3ClientError authenticate();
  Pop3ClientError authRefused();
  Phase loginPhase() const;
  Pop3ClientError apop();
  Pop3ClientError user();
  Pop3ClientError pass();
  Pop3ClientError capa();
  Pop3ClientError stat();
  Pop3ClientError uidl();
  Pop3ClientError readUidlListing();
  Pop3ClientError list();
  // The lines of a multi-line reply up to its end line, each to `take`; false from `take`
  // ends the reading as a broken listing.
  Pop3ClientError readListing(Pop3ClientError broken, const std::function<bool(const std::string&)>& take);
  Pop3ClientError retr();
  // What becomes of message `number` in this session.
  enum class Disposition { kDownload, kDelete, kLeave, kTooLarge };
  Disposition dispositionOf(unsigned long number);
  bool overMaxSize(unsigned long number) const;
  std::vector<unsigned long> nextFile();
  std::string retrCommands(const std::vector<unsigned long>& numbers) const;
  std::string deleCommands(std::size_t count) const;
  Pop3ClientError noticeTooLarge();
  Pop3ClientError tooLarge(unsigned long number);
  Pop3ClientError topHeader(unsigned long number, std::string& header);
  Pop3ClientError dele();
  Pop3ClientError deleted(std::size_t count);
  Pop3ClientError quit();

  bool send(const std::string& line) { return stream_->sendAll(line); }
  // One reply line: `nothing` when none of it came, `cut` when it broke off.
  Pop3ClientError receive(Pop3ClientError nothing, Pop3ClientError cut);
  // A reply that does not begin with "+" ends the run, after a polite QUIT.
  Pop3ClientError refuse();
  Pop3ClientError receiveText(unsigned long number);
  Pop3ClientError afterMessages();
  Pop3ClientError fileFailed(const std::string& path, const std::string& reason);
  Pop3ClientError fileFailed(const std::string& path);
  Pop3ClientError storeBatch(std::uint64_t keep);
  Pop3ClientError awaitStored();
  bool stored(unsigned long number) const;
  void log(const std::string& text) { log_.LogPop3Client(text); }

  net::ByteStream* stream_;  // the connection, or TLS over it after STLS
  const net::TlsClient* stls_;
  std::unique_ptr<net::ByteStream> secure_;
  const config::ProviderAccount& account_;
  std::string programDir_;
  link::ActivityLog& log_;
  link::MainWindow& window_;
  spool::UidLedger* ledger_;
  net::AccessTokenSource* tokens_;
  bool renewed_ = false;  // the access token was renewed after a refusal
  std::string accountKey_;
  std::uint64_t nextFile_;  // the number of the next download file
  std::map<unsigned long, std::string> uids_;  // message number -> the provider's unique id
  std::map<unsigned long, unsigned long long> sizes_;  // message number -> its octets, from LIST
  bool pipelining_ = false;  // the server takes several commands in one write
  bool stopAfterLogin_ = false;
  std::int32_t keepDays_;   // the account's "keep=", or 0 when the provider cannot tell messages apart
  std::function<bool(const sorting::LeftAtProvider&)> tellTooLarge_;
  std::set<std::string> tooLargeSeen_;  // the ids of this session's messages too large to download
  unsigned long leftOnServer_ = 0;     // messages this session leaves at the provider
  std::set<unsigned long> expired_;    // kept ones whose days have run out: only deleted
  // The download file being filled, the messages whole in it, and its size after them.
  std::optional<spool::DownloadFile> batch_;
  std::uint64_t batchNumber_ = 0;
  std::vector<unsigned long> batchMessages_;
  std::uint64_t batchWhole_ = 0;
  std::deque<unsigned long> toDelete_;  // on disk (or stored before): their DELEs are due
  std::deque<std::vector<unsigned long>> fetching_;  // files whose RETRs are out (pipelining)
  spool::DownloadStore store_{ledger_};
  std::vector<unsigned long> publishing_;  // the messages of the file being published
  net::LineReceiver replies_{*stream_, kReceiveSize};
  Phase phase_ = Phase::kGreeting;
  std::string reply_;
  std::string timeStamp_;            // the greeting's <...>, or empty
  unsigned long count_ = 0;          // messages on the server, from STAT
  unsigned long long total_ = 0;     // their octets, from STAT
  unsigned long long received_ = 0;  // RETR bytes so far, for the progress bar
  unsigned long current_ = 0;        // the next message to fetch, from 1

  static constexpr std::size_t kReceiveSize = 64 * 1024;  // what one receive asks for at most
  static constexpr std::uint64_t kBatchBytes = 8 << 20;  // a download file is synced at about this size
  static constexpr std::size_t kBatchMessages = 256;     // or after this many messages
  static constexpr std::size_t kTopHeaderKept = 64 * 1024;  // of a large message's header
};

}  // namespace quelma::pop3_client
