// The dialogue with the provider's POP3 server for one account, as a state machine driven by
// the server's replies: greeting, APOP or USER and PASS, STAT, UIDL, then LIST and RETR for
// each message, DELE for each once it is on disk, QUIT. The messages go into download files
// several at a time, each file synced once; their DELEs follow the file. It speaks through
// any byte stream, so a test can play the server without a socket.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "config/configuration.h"
#include "link/activity_log.h"
#include "link/main_window.h"
#include "net/byte_stream.h"
#include "net/line_receiver.h"
#include "pop3_client/pop3_client_error.h"
#include "spool/download_files.h"
#include "spool/uid_ledger.h"

namespace quelma::pop3_client {

class Pop3ClientSession {
 public:
  // With a ledger the session asks for UIDL and deletes the messages already stored without
  // downloading them again; without one (or when the provider has no UIDL) it downloads all.
  Pop3ClientSession(net::ByteStream& stream, const config::ProviderAccount& account, std::string programDir,
                    link::ActivityLog& log, link::MainWindow& window, spool::UidLedger* ledger = nullptr);

  // From the greeting to the reply to QUIT; kNone when every message is in its download file
  // and the server took QUIT.
  Pop3ClientError run();

 private:
  enum class Phase { kGreeting, kApop, kUser, kPass, kStat, kUidl, kList, kRetr, kDele, kQuit, kDone };
  using Handler = Pop3ClientError (Pop3ClientSession::*)();
  static Handler HandlerOf(Phase phase);

  Pop3ClientError greeting();
  Pop3ClientError apop();
  Pop3ClientError user();
  Pop3ClientError pass();
  Pop3ClientError stat();
  Pop3ClientError uidl();
  Pop3ClientError readUidlListing();
  Pop3ClientError list();
  Pop3ClientError retr();
  Pop3ClientError dele();
  Pop3ClientError quit();

  bool send(const std::string& line) { return stream_.sendAll(line); }
  // One reply line: `nothing` when none of it came, `cut` when it broke off.
  Pop3ClientError receive(Pop3ClientError nothing, Pop3ClientError cut);
  // A reply that does not begin with "+" ends the run, after a polite QUIT.
  Pop3ClientError refuse();
  Pop3ClientError receiveText();
  Pop3ClientError next();
  Pop3ClientError storeBatch(std::uint64_t keep);
  void log(const std::string& text) { log_.LogPop3Client(text); }

  net::ByteStream& stream_;
  const config::ProviderAccount& account_;
  std::string programDir_;
  link::ActivityLog& log_;
  link::MainWindow& window_;
  spool::UidLedger* ledger_;
  std::string accountKey_;
  std::uint64_t nextFile_;  // the number of the next download file
  std::map<unsigned long, std::string> uids_;  // message number -> the provider's unique id
  // The download file being filled, the messages whole in it, and its size after them.
  std::optional<spool::DownloadFile> batch_;
  std::uint64_t batchNumber_ = 0;
  std::vector<unsigned long> batchMessages_;
  std::uint64_t batchWhole_ = 0;
  std::deque<unsigned long> toDelete_;  // on disk (or stored before): their DELEs are due
  net::LineReceiver replies_{stream_, kReceiveSize};
  Phase phase_ = Phase::kGreeting;
  std::string reply_;
  std::string timeStamp_;            // the greeting's <...>, or empty
  unsigned long count_ = 0;          // messages on the server, from STAT
  unsigned long long total_ = 0;     // their octets, from STAT
  unsigned long long received_ = 0;  // RETR bytes so far, for the progress bar
  unsigned long current_ = 0;        // the message being fetched, from 1

  static constexpr std::size_t kReplyKept = 2000;          // of a reply line: 1,999 bytes and its LF
  static constexpr std::size_t kReceiveSize = 64 * 1024;  // what one receive asks for at most
  static constexpr std::uint64_t kBatchBytes = 8 << 20;  // a download file is synced at about this size
  static constexpr std::size_t kBatchMessages = 256;     // or after this many messages
};

}  // namespace quelma::pop3_client
