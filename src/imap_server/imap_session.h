// One IMAP connection after the greeting: the states (not logged in, logged in, a mailbox
// selected), a table of commands, and the updates owed to the client. Free of sockets: it
// takes whole commands (and the lines AUTHENTICATE and IDLE read) and sends replies to a sink;
// the server loop around it does what it asks next (read a line, wait in IDLE, start TLS).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "imap_server/command_reader.h"
#include "imap_server/command_syntax.h"
#include "imap_server/message_text.h"
#include "imap_server/selected_mailbox.h"
#include "link/activity_log.h"
#include "net/reply_sink.h"
#include "serving/login_guard.h"

namespace quelma::imap_server {

// The largest message APPEND takes.
inline constexpr std::uint64_t kAppendLimit = 64ull * 1024 * 1024;
// Malformed commands in a row that end the connection.
inline constexpr int kMaxBadCommands = 20;

struct ImapSessionOptions {
  bool offerStartTls = false;  // a certificate is set and TLS is not up yet
  bool secure = false;         // TLS is up (the TLS port, or after STARTTLS)
  std::string client;          // the client's address: failed logins are counted per address
  serving::LoginGuard* guard = nullptr;
  bool fromThisComputer = true;
  std::string challenge;       // CRAM-MD5's, new for each connection
  bool offerCompress = true;   // COMPRESS=DEFLATE can be laid over this connection
};

class ImapSession {
 public:
  ImapSession(std::shared_ptr<const config::Configuration> config, link::ActivityLog& log, net::ReplySink& sink,
              ImapSessionOptions options);
  ~ImapSession();

  // What the server loop does after a command.
  enum class Next {
    kCommand,        // read the next command
    kAuthenticate,   // read a line and hand it to authenticateLine()
    kIdle,           // wait in IDLE: a line goes to idleLine(), a change of the mailbox to idleUpdate()
    kStartTls,       // lay TLS over the connection, then read commands again
    kCompress,       // lay DEFLATE over the connection, then read commands again
    kEnd,            // close the connection
  };

  std::string greeting() const;
  Next command(const CommandReader::Command& command);
  Next authenticateLine(std::string_view line);
  Next idleLine(std::string_view line);
  // In IDLE: tells the client what changed; false when the connection failed.
  bool idleUpdate();
  // The mailbox IDLE waits on (nothing when none is selected).
  std::shared_ptr<spool::Mailbox> idleMailbox() const;
  // The largest literal the command so far may carry (see CommandReader).
  std::uint64_t literalLimit(std::string_view soFar) const;
  bool loggedIn() const { return user_ >= 0; }
  // TLS or compression came up: what the session knows of the connection changes.
  void tlsStarted();

 private:
  enum class State { kNotAuthenticated, kAuthenticated, kSelected };
  struct Request {
    std::string tag;
    std::string name;  // the command's name in upper case
    bool uid = false;  // "UID FETCH" and the like
    ArgumentReader& args;
  };
  using Handler = Next (ImapSession::*)(Request&);
  struct CommandEntry {
    const char* name;
    Handler handler;
    bool notAuthenticated, authenticated, selected;  // the states it is taken in
    bool uidForm;  // may follow "UID "
  };
  static const CommandEntry kCommands[];

  // Replies.
  bool send(std::string_view bytes) { return sink_.send(bytes); }
  Next ok(const Request& r, std::string_view text);
  Next no(const Request& r, std::string_view text);
  Next bad(const Request& r, std::string_view text);
  Next tagged(const std::string& tag, std::string_view status, std::string_view text);
  bool sendUpdates(bool expunges);
  // CONDSTORE comes on (a command that uses MODSEQ, or ENABLE); a client with a mailbox selected
  // is told its HIGHESTMODSEQ then. False when the connection failed.
  bool enableCondstore();
  std::string capabilities() const;

  // Any state.
  Next capability(Request& r);
  Next noop(Request& r);
  Next logout(Request& r);
  Next id(Request& r);
  Next enable(Request& r);
  // Not authenticated.
  Next startTls(Request& r);
  Next login(Request& r);
  Next authenticate(Request& r);
  Next finishLogin(const std::string& tag, const std::string& name, bool passwordMatches, bool cram);
  bool plaintextAllowed() const;
  // Authenticated.
  Next select(Request& r);
  Next create(Request& r);
  Next remove(Request& r);
  Next rename(Request& r);
  Next subscribe(Request& r);
  Next unsubscribe(Request& r);
  Next list(Request& r);
  Next lsub(Request& r);
  Next namespaces(Request& r);
  Next status(Request& r);
  Next append(Request& r);
  Next idle(Request& r);
  Next compress(Request& r);
  // Selected.
  Next close(Request& r);
  Next unselect(Request& r);
  Next expunge(Request& r);
  Next search(Request& r);
  Next fetch(Request& r);
  Next store(Request& r);
  Next copy(Request& r);
  Next move(Request& r);

  // Mailbox names.
  std::optional<std::string> readMailboxName(ArgumentReader& in) const;  // UTF-8, INBOX as "INBOX"
  std::string wireName(const std::string& name) const;                  // as the client reads it
  // The file of mailbox `name`; nothing, with the reason, for a name that cannot be one.
  std::optional<std::string> mailboxPath(const std::string& name, std::string* refusal = nullptr) const;
  const std::string& inboxPath() const { return inbox_; }

  // Helpers of FETCH, STORE, COPY.
  std::vector<std::uint32_t> selectedNumbers(const class SequenceSet& set, bool uid) const;
  SectionOutcome fetchOne(std::uint32_t number, const struct FetchRequest& request, bool uid,
                                     const spool::IndexedMessage& stored);
  std::optional<std::uint64_t> storeFlags(std::uint32_t number, std::uint32_t flags, std::uint64_t keywords);
  Next copyOrMove(Request& r, bool move);
  std::string patternName(const std::string& pattern) const;
  void logOpenNote(const std::string& path, const spool::MailboxOpenNote& note);

  std::shared_ptr<const config::Configuration> config_;
  link::ActivityLog& log_;
  net::ReplySink& sink_;
  ImapSessionOptions options_;
  State state_ = State::kNotAuthenticated;
  int user_ = -1;
  std::string userName_;
  std::string inbox_;
  int badInARow_ = 0;
  bool rev2_ = false, utf8_ = false, condstore_ = false, qresync_ = false;
  bool uidCommand_ = false;  // the command being run is a UID command
  std::unique_ptr<SelectedMailbox> selected_;
  // AUTHENTICATE in progress.
  std::string authTag_, authMechanism_;
  // IDLE in progress.
  std::string idleTag_;
};

}  // namespace quelma::imap_server
