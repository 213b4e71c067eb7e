// The IMAP command table, the replies and updates, and the commands of every state.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "imap_server/imap_replies.h"
#include "imap_server/imap_strings.h"
#include "platform/text.h"

namespace quelma::imap_server {
// name, handler, not authenticated, authenticated, selected, UID form
const ImapSession::CommandEntry ImapSession::kCommands[] = {
    {"CAPABILITY", &ImapSession::capability, true, true, true, false},
    {"NOOP", &ImapSession::noop, true, true, true, false},
    {"LOGOUT", &ImapSession::logout, true, true, true, false},
    {"ID", &ImapSession::id, true, true, true, false},
    {"ENABLE", &ImapSession::enable, false, true, true, false},
    {"STARTTLS", &ImapSession::startTls, true, false, false, false},
    {"LOGIN", &ImapSession::login, true, false, false, false},
    {"AUTHENTICATE", &ImapSession::authenticate, true, false, false, false},
    {"SELECT", &ImapSession::select, false, true, true, false},
    {"EXAMINE", &ImapSession::select, false, true, true, false},
    {"CREATE", &ImapSession::create, false, true, true, false},
    {"DELETE", &ImapSession::remove, false, true, true, false},
    {"RENAME", &ImapSession::rename, false, true, true, false},
    {"SUBSCRIBE", &ImapSession::subscribe, false, true, true, false},
    {"UNSUBSCRIBE", &ImapSession::unsubscribe, false, true, true, false},
    {"LIST", &ImapSession::list, false, true, true, false},
    {"LSUB", &ImapSession::lsub, false, true, true, false},
    {"NAMESPACE", &ImapSession::namespaces, false, true, true, false},
    {"STATUS", &ImapSession::status, false, true, true, false},
    {"APPEND", &ImapSession::append, false, true, true, false},
    {"IDLE", &ImapSession::idle, false, true, true, false},
    {"COMPRESS", &ImapSession::compress, false, true, true, false},
    {"CHECK", &ImapSession::noop, false, false, true, false},
    {"CLOSE", &ImapSession::close, false, false, true, false},
    {"UNSELECT", &ImapSession::unselect, false, false, true, false},
    {"EXPUNGE", &ImapSession::expunge, false, false, true, true},
    {"SEARCH", &ImapSession::search, false, false, true, true},
    {"FETCH", &ImapSession::fetch, false, false, true, true},
    {"STORE", &ImapSession::store, false, false, true, true},
    {"COPY", &ImapSession::copy, false, false, true, true},
    {"MOVE", &ImapSession::move, false, false, true, true},
};

ImapSession::ImapSession(std::shared_ptr<const config::Configuration> config, link::ActivityLog& log,
                         net::ReplySink& sink, ImapSessionOptions options)
    : config_(std::move(config)), log_(log), sink_(sink), options_(std::move(options)) {}

ImapSession::~ImapSession() = default;

std::string ImapSession::capabilities() const {
  std::string out = "IMAP4rev1 IMAP4rev2 SASL-IR LITERAL+ ID ENABLE IDLE";
  if (state_ == State::kNotAuthenticated) {
    if (options_.offerStartTls) out += " STARTTLS";
    out += plaintextAllowed() ? " AUTH=PLAIN AUTH=CRAM-MD5" : " AUTH=CRAM-MD5 LOGINDISABLED";
    return out;
  }
  out += " UIDPLUS MOVE SPECIAL-USE CREATE-SPECIAL-USE NAMESPACE UNSELECT CHILDREN LIST-EXTENDED LIST-STATUS"
         " ESEARCH CONDSTORE QRESYNC BINARY UTF8=ACCEPT APPENDLIMIT=" + std::to_string(kAppendLimit);
  if (options_.offerCompress) out += " COMPRESS=DEFLATE";
  return out;
}

std::string ImapSession::greeting() const {
  return std::string(reply::kGreetingBegin) + capabilities() + reply::kGreetingEnd;
}

std::uint64_t ImapSession::literalLimit(std::string_view soFar) const {
  // "tag APPEND mailbox ... {n}": the message may be as large as APPENDLIMIT, once logged in.
  ArgumentReader in(soFar);
  if (!in.tag() || !in.space() || !in.keyword("APPEND") || state_ == State::kNotAuthenticated) {
    return kMaxCommandBytes;
  }
  return kAppendLimit;
}

ImapSession::Next ImapSession::command(const CommandReader::Command& command) {
  using Kind = CommandReader::Command::Kind;
  ArgumentReader in(command.text);
  const auto tag = in.tag();
  if (command.kind == Kind::kClosed) return Next::kEnd;
  if (!tag || !in.space()) {
    if (!send("* BAD Error in IMAP command received by server.\r\n")) return Next::kEnd;
    return ++badInARow_ >= kMaxBadCommands ? (send(reply::kTooManyBad), Next::kEnd) : Next::kCommand;
  }
  Request r{std::string(*tag), {}, false, in};
  if (command.kind == Kind::kTooLong) return bad(r, "Command too long");
  if (command.kind == Kind::kRefused) {
    return command.size > kAppendLimit && state_ != State::kNotAuthenticated ? no(r, "[TOOBIG] Message too large")
                                                                              : bad(r, "Literal too large");
  }
  const auto name = in.name();
  if (!name) return bad(r, "Missing command");
  r.name = platform::ToUpperAscii(*name);
  if (r.name == "UID") {
    const auto second = in.space() ? in.name() : std::nullopt;
    if (!second) return bad(r, "Missing UID command");
    r.name = platform::ToUpperAscii(*second);
    r.uid = true;
  }
  uidCommand_ = r.uid;
  for (const CommandEntry& entry : kCommands) {
    if (r.name != entry.name) continue;
    if (r.uid && !entry.uidForm) break;
    const bool allowed = state_ == State::kNotAuthenticated ? entry.notAuthenticated
                         : state_ == State::kAuthenticated  ? entry.authenticated
                                                            : entry.selected;
    if (!allowed) {
      return bad(r, state_ == State::kNotAuthenticated ? "Command not allowed before login"
                                                       : state_ == State::kAuthenticated ? "No mailbox selected"
                                                                                         : "Command not allowed now");
    }
    return (this->*entry.handler)(r);
  }
  return bad(r, "Unknown command");
}

ImapSession::Next ImapSession::tagged(const std::string& tag, std::string_view status, std::string_view text) {
  return send(tag + " " + std::string(status) + " " + std::string(text) + "\r\n") ? Next::kCommand : Next::kEnd;
}

ImapSession::Next ImapSession::ok(const Request& r, std::string_view text) {
  badInARow_ = 0;
  return tagged(r.tag, "OK", text);
}

ImapSession::Next ImapSession::no(const Request& r, std::string_view text) {
  badInARow_ = 0;
  return tagged(r.tag, "NO", text);
}

ImapSession::Next ImapSession::bad(const Request& r, std::string_view text) {
  if (tagged(r.tag, "BAD", text) == Next::kEnd) return Next::kEnd;
  if (++badInARow_ < kMaxBadCommands) return Next::kCommand;
  log_.LogImapSrv(logtext::kTooManyBad);
  send(reply::kTooManyBad);
  return Next::kEnd;
}

bool ImapSession::enableCondstore() {
  if (condstore_) return true;
  condstore_ = true;
  return !selected_ || send("* OK [HIGHESTMODSEQ " + std::to_string(selected_->highestModseq()) + "] Highest\r\n");
}

bool ImapSession::sendUpdates(bool expunges) {
  if (!selected_) return true;
  std::string out;
  // A client of a UID command finds messages by UID: a flag change told during it (another
  // session's) carries the UID too, as with every FETCH response that command causes.
  UpdateStyle style{expunges, condstore_, qresync_, !rev2_, uidCommand_};
  if (!selected_->update(out, style)) {
    send(reply::kRenumbered);
    return false;
  }
  return out.empty() || send(out);
}

ImapSession::Next ImapSession::capability(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!send("* CAPABILITY " + capabilities() + "\r\n")) return Next::kEnd;
  return ok(r, "Capability completed.");
}

ImapSession::Next ImapSession::noop(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!sendUpdates(true)) return Next::kEnd;
  return ok(r, "NOOP completed.");
}

ImapSession::Next ImapSession::logout(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  send(reply::kLogout);
  ok(r, "Logout completed.");
  return Next::kEnd;
}

// "ID (name value ...)" or "ID NIL": the client's is taken and not kept; ours is the name.
ImapSession::Next ImapSession::id(Request& r) {
  if (!r.args.space()) return bad(r, "Missing ID list");
  if (!r.args.keyword("NIL")) {
    if (!r.args.take('(')) return bad(r, "Bad ID list");
    for (int pairs = 0; !r.args.take(')'); ++pairs) {
      if (pairs > 30 || (pairs > 0 && !r.args.space())) return bad(r, "Bad ID list");
      if (!r.args.string() || !r.args.space() || !r.args.nstring()) return bad(r, "Bad ID list");
    }
  }
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!send("* ID (\"name\" \"Quelmar\")\r\n")) return Next::kEnd;
  return ok(r, "ID completed.");
}

ImapSession::Next ImapSession::enable(Request& r) {
  std::string enabled;
  if (!r.args.space()) return bad(r, "Missing capability");
  do {
    const auto word = r.args.atom();
    if (!word) return bad(r, "Bad capability");
    const std::string name = platform::ToUpperAscii(*word);
    bool* flag = name == "IMAP4REV2"    ? &rev2_
                 : name == "UTF8=ACCEPT" ? &utf8_
                 : name == "CONDSTORE"   ? &condstore_
                 : name == "QRESYNC"     ? &qresync_
                                         : nullptr;
    if (!flag || *flag) continue;
    if (flag == &condstore_ || flag == &qresync_) {
      if (!enableCondstore()) return Next::kEnd;
    }
    *flag = true;
    enabled += " " + name;
  } while (r.args.space());
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!send("* ENABLED" + enabled + "\r\n")) return Next::kEnd;
  return ok(r, "Enabled.");
}

ImapSession::Next ImapSession::startTls(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!options_.offerStartTls) return bad(r, options_.secure ? "TLS is active already" : "TLS is not available");
  return ok(r, "Begin TLS negotiation now.") == Next::kEnd ? Next::kEnd : Next::kStartTls;
}

void ImapSession::tlsStarted() {
  options_.secure = true;
  options_.offerStartTls = false;
}

ImapSession::Next ImapSession::compress(Request& r) {
  if (!r.args.space() || !r.args.keyword("DEFLATE") || !r.args.atEnd()) return bad(r, "Unknown compression");
  if (!options_.offerCompress) return no(r, "[COMPRESSIONACTIVE] Compression is active already");
  options_.offerCompress = false;
  return ok(r, "DEFLATE active") == Next::kEnd ? Next::kEnd : Next::kCompress;
}

ImapSession::Next ImapSession::idle(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!sendUpdates(true) || !send(reply::kIdling)) return Next::kEnd;
  idleTag_ = r.tag;
  return Next::kIdle;
}

ImapSession::Next ImapSession::idleLine(std::string_view line) {
  if (!idleUpdate()) return Next::kEnd;
  const std::string tag = std::move(idleTag_);
  idleTag_.clear();
  if (platform::ToUpperAscii(line) != "DONE") {
    if (tagged(tag, "BAD", "Expected DONE.") == Next::kEnd) return Next::kEnd;
    return ++badInARow_ >= kMaxBadCommands ? (send(reply::kTooManyBad), Next::kEnd) : Next::kCommand;
  }
  badInARow_ = 0;
  return tagged(tag, "OK", "Idle completed.");
}

bool ImapSession::idleUpdate() { return sendUpdates(true); }

std::shared_ptr<spool::Mailbox> ImapSession::idleMailbox() const {
  return selected_ ? selected_->shared() : nullptr;
}

}  // namespace quelma::imap_server
