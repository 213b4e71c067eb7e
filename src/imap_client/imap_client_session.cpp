// The IMAP client's steps: one function each, every command through one send-and-read loop.
#include "imap_client/imap_client_session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <utility>

#include "codec/base64.h"
#include "codec/md5.h"
#include "codec/modified_utf7.h"
#include "net/sasl_oauth.h"
#include "net/tls_log_text.h"
#include "net/transfer_form.h"
#include "platform/cp1251_utf8.h"
#include "platform/files.h"
#include "platform/text.h"

namespace quelma::imap_client {
namespace {

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && platform::ToUpperAscii(text.substr(text.size() - tail.size())) == tail;
}

// "n WORD ..." of an untagged response: the number and the word upper-cased.
bool NumberedWord(const ImapResponse& r, std::uint32_t& number, std::string& word) {
  const std::size_t blank = r.text.find(' ');
  if (blank == std::string::npos) return false;
  const auto n = Number32(std::string_view(r.text).substr(0, blank));
  if (!n) return false;
  number = *n;
  word = platform::ToUpperAscii(std::string_view(r.text).substr(blank + 1, r.text.find(' ', blank + 1) - blank - 1));
  return true;
}

// The numbers of "SEARCH n n ..." (ESEARCH's "ALL set" is not asked for).
std::set<std::uint32_t> SearchNumbers(const ImapResponse& r) {
  std::set<std::uint32_t> numbers;
  std::string_view rest = std::string_view(r.text).substr(std::min(r.text.size(), std::string_view("SEARCH").size()));
  while (!rest.empty()) {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    const std::size_t end = std::min(rest.find(' '), rest.size());
    if (const auto n = Number32(rest.substr(0, end))) numbers.insert(*n);
    rest.remove_prefix(end);
  }
  return numbers;
}

// A message's text as a download file holds it: in transfer form with its end line; the
// first part of its header kept for its Message-ID. The text goes to the file in runs of the
// received pieces themselves.
class MessageSink {
 public:
  explicit MessageSink(spool::DownloadFile& file) : file_(file) {}
  bool operator()(std::string_view piece) {
    keepHeader(piece);
    stuffer_.addRuns(piece, [this](std::string_view run) { written_ = written_ && file_.write(run); });
    return written_;
  }
  bool finish() {
    std::string end;
    stuffer_.finish(end);
    return written_ && file_.write(end);
  }
  const std::string& header() const { return header_; }

 private:
  // Up to the empty line that ends the header, or the first kHeaderKept bytes.
  void keepHeader(std::string_view piece) {
    if (headerWhole_) return;
    const std::size_t searched = header_.size() < 3 ? 0 : header_.size() - 3;
    header_.append(piece.substr(0, kHeaderKept - header_.size()));
    for (const std::string_view end : {std::string_view("\r\n\r\n"), std::string_view("\n\n")}) {
      if (const std::size_t at = header_.find(end, searched); at != std::string::npos) {
        header_.resize(at + end.size());
        headerWhole_ = true;
      }
    }
    headerWhole_ = headerWhole_ || header_.size() >= kHeaderKept;
  }

  static constexpr std::size_t kHeaderKept = 64 * 1024;
  spool::DownloadFile& file_;
  net::DotStuffer stuffer_{net::DotStuffer::Rules{true, 0}};
  bool written_ = true;
  std::string header_;
  bool headerWhole_ = false;
};

}  // namespace

std::string UidSet(const std::vector<std::uint32_t>& uids) {
  std::string set;
  for (std::size_t i = 0; i < uids.size();) {
    std::size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    set += (set.empty() ? "" : ",") + std::to_string(uids[i]) + (j > i ? ":" + std::to_string(uids[j]) : "");
    i = j + 1;
  }
  return set;
}

std::string MessageIdOf(std::string_view header) {
  std::string value;
  bool in = false;
  for (std::size_t at = 0; at < header.size();) {
    std::size_t end = header.find('\n', at);
    if (end == std::string_view::npos) end = header.size();
    std::string_view line = header.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (in && (line[0] == ' ' || line[0] == '\t')) {
      value += line;
      continue;
    }
    if (in) break;
    if (line.size() >= 11 && platform::ToUpperAscii(line.substr(0, 11)) == "MESSAGE-ID:") {
      value = line.substr(11);
      in = true;
    }
  }
  const std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return value.substr(first, value.find_last_not_of(" \t") - first + 1);
}

std::string MessageMark(std::uint64_t size, std::string_view messageId) {
  // Without a Message-ID two messages of one size cannot be told apart: such a message gets no
  // mark, so a new UIDVALIDITY fetches it again rather than take another for it.
  if (messageId.empty()) return {};
  return std::to_string(size) + "." + codec::DigestToHex(codec::Md5Of(std::string(messageId))).substr(0, 16);
}

std::string FolderArgument(const std::string& folder) {
  if (platform::EqualsIgnoreAsciiCase(folder, "INBOX")) return "INBOX";
  const auto encoded = codec::ModifiedUtf7Encode(platform::Cp1251ToUtf8(folder));
  return QuotedOrLiteral(encoded.value_or(folder), false);
}

ImapClientSession::ImapClientSession(net::ByteStream& stream, const config::ProviderAccount& account,
                                     std::string programDir, link::ActivityLog& log, std::int32_t today,
                                     const net::TlsClient* starttls, net::AccessTokenSource* tokens)
    : stream_(&stream),
      starttls_(starttls),
      account_(account),
      programDir_(std::move(programDir)),
      log_(log),
      today_(today),
      tokens_(tokens),
      accountKey_(spool::AccountKey(account.server, account.login)),
      nextFile_(spool::NextDownloadFileNumber(programDir_, accountKey_)) {}

ImapClientError ImapClientSession::run() {
  if (const auto e = open(); e != ImapClientError::kNone) return e;
  for (const std::string& folder : config::CollectedFolders(account_)) {
    if (const auto e = collect(folder); e != ImapClientError::kNone) return e;
  }
  logout();
  return ImapClientError::kNone;
}

ImapClientError ImapClientSession::receive(ImapResponse& response, const ResponseReader::ChooseSink& sinks) {
  switch (reader_.next(response, sinks)) {
    case ResponseReader::Status::kResponse: return ImapClientError::kNone;
    case ResponseReader::Status::kNothing:
    case ResponseReader::Status::kCut: return ImapClientError::kReceive;
    case ResponseReader::Status::kTooLarge: return ImapClientError::kResponse;
    case ResponseReader::Status::kSinkFailed: return ImapClientError::kDownloadFile;
  }
  return ImapClientError::kReceive;
}

void ImapClientSession::takeCapabilities(std::string_view words) {
  capabilities_.clear();
  capabilitiesKnown_ = true;
  while (!words.empty()) {
    words.remove_prefix(std::min(words.find_first_not_of(' '), words.size()));
    const std::size_t end = std::min(words.find(' '), words.size());
    if (end > 0) capabilities_.insert(platform::ToUpperAscii(words.substr(0, end)));
    words.remove_prefix(end);
  }
}

// What any untagged response may tell, whatever command it came with.
ImapClientError ImapClientSession::common(const ImapResponse& r) {
  const std::string status = r.status();
  const std::string code = r.code();
  if (platform::ToUpperAscii(code).starts_with("CAPABILITY ")) takeCapabilities(std::string_view(code).substr(11));
  if (platform::ToUpperAscii(r.text).starts_with("CAPABILITY ")) takeCapabilities(std::string_view(r.text).substr(11));
  if (platform::ToUpperAscii(code).starts_with("UIDVALIDITY ")) validity_ = code.substr(12);
  if (platform::ToUpperAscii(code).starts_with("UIDNEXT ")) uidNext_ = Number32(std::string_view(code).substr(8));
  std::uint32_t number = 0;
  std::string word;
  if (NumberedWord(r, number, word)) {
    if (word == "EXISTS") {
      newMail_ = newMail_ || number > exists_;
      exists_ = number;
    } else if (word == "EXPUNGE" && exists_ > 0) {
      --exists_;
    }
  }
  if (status == "BYE" && !loggingOut_) log("Сервер закончил сеанс: " + platform::Printable(r.text, 200) + "\r\n");
  return ImapClientError::kNone;
}

ImapClientError ImapClientSession::command(const std::string& text, std::string& tagged, const Handler& untagged,
                                           const ResponseReader::ChooseSink& sinks) {
  const std::string tag = "A" + std::to_string(++tag_);
  if (!stream_->sendAll(tag + " " + text + "\r\n")) return ImapClientError::kSend;
  while (true) {
    ImapResponse r;
    if (const auto e = receive(r, sinks); e != ImapClientError::kNone) return e;
    if (r.tag == tag) {
      common(r);
      tagged = r.status();
      if (tagged.empty()) return ImapClientError::kResponse;
      if (tagged != "OK") log(text.substr(0, text.find(' ')) + ": " + platform::Printable(r.text, 300) + "\r\n");
      return ImapClientError::kNone;
    }
    if (!r.untagged()) return ImapClientError::kResponse;  // a continuation or another tag: not ours
    common(r);
    if (r.status() == "BYE") {
      // The tagged answer may still come (LOGOUT); otherwise the connection ends.
      continue;
    }
    if (untagged) {
      if (const auto e = untagged(r); e != ImapClientError::kNone) return e;
    }
  }
}

ImapClientError ImapClientSession::greeting() {
  ImapResponse r;
  if (receive(r) != ImapClientError::kNone || !r.untagged()) return ImapClientError::kGreeting;
  common(r);
  const std::string status = r.status();
  if (status == "BYE") return ImapClientError::kGreetingRefused;
  if (status != "OK" && status != "PREAUTH") return ImapClientError::kGreeting;
  log("Сервер готов.\r\n");
  return ImapClientError::kNone;
}

ImapClientError ImapClientSession::open() {
  if (const auto e = greeting(); e != ImapClientError::kNone) return e;
  std::string tagged;
  if (!capabilitiesKnown_) {
    if (const auto e = command("CAPABILITY", tagged); e != ImapClientError::kNone) return e;
  }
  if (starttls_) {
    if (const auto e = startTls(); e != ImapClientError::kNone) return e;
  }
  log("Вход на сервер как \"" + account_.login + "\".\r\n");
  const auto e = account_.auth != config::OauthMechanism::kNone ? loginWithToken() : login();
  if (e != ImapClientError::kNone) return e;
  // A server that gave no capabilities with its OK to the login is asked: they may have changed.
  if (!capabilitiesKnown_) return command("CAPABILITY", tagged);
  return ImapClientError::kNone;
}

// STARTTLS must be offered and taken; a server that cannot is left at once: nothing of the
// login goes out in clear.
ImapClientError ImapClientSession::startTls() {
  std::string tagged;
  if (offers("STARTTLS")) {
    log("STARTTLS\r\n");
    if (const auto e = command("STARTTLS", tagged); e != ImapClientError::kNone) return e;
  }
  if (!offers("STARTTLS") || tagged != "OK") {
    log(offers("STARTTLS") ? std::string("Сервер отказал в STARTTLS\r\n") : std::string("Сервер не предлагает STARTTLS\r\n"));
    log("Вход без шифрования запрещен настройками счета\r\n");
    logout();
    return ImapClientError::kStartTlsNotOffered;
  }
  net::TlsFailure failure = net::TlsFailure::kNone;
  secure_ = net::StartClientTls(*starttls_, *stream_, [this](const std::string& text) { log(text); }, failure);
  if (!secure_) return TlsError(failure);
  stream_ = secure_.get();
  lines_.restart(*stream_);  // whatever came before the handshake is not the server's word
  capabilitiesKnown_ = false;
  return command("CAPABILITY", tagged);
}

// LOGIN with the password; where the server refuses LOGIN but offers AUTH=PLAIN, that.
ImapClientError ImapClientSession::login() {
  std::string tagged;
  const bool literalPlus = offers("LITERAL+") || offers("LITERAL-");
  const std::string login = QuotedOrLiteral(account_.login, literalPlus);
  const std::string password = QuotedOrLiteral(account_.password, literalPlus);
  capabilitiesKnown_ = false;
  if (offers("LOGINDISABLED")) {
    if (!offers("AUTH=PLAIN")) {
      log("Сервер не принимает пароль на этом соединении (LOGINDISABLED)\r\n");
      logout();
      return ImapClientError::kLoginDisabled;
    }
    const std::string plain = std::string(1, '\0') + account_.login + std::string(1, '\0') + account_.password;
    const std::string response = codec::Base64Encode(plain);
    if (offers("SASL-IR")) {
      if (const auto e = command("AUTHENTICATE PLAIN " + response, tagged); e != ImapClientError::kNone) return e;
    } else {
      const std::string tag = "A" + std::to_string(++tag_);
      if (!stream_->sendAll(tag + " AUTHENTICATE PLAIN\r\n")) return ImapClientError::kSend;
      ImapResponse r;
      if (const auto e = receive(r); e != ImapClientError::kNone) return e;
      if (r.tag == "+" && !stream_->sendAll(response + "\r\n")) return ImapClientError::kSend;
      while (r.tag != tag) {
        if (const auto e = receive(r); e != ImapClientError::kNone) return e;
        common(r);
      }
      tagged = r.status();
    }
  } else if (!literalPlus && (login.find('{') == 0 || password.find('{') == 0)) {
    // A synchronizing literal waits for the server's "+" before its bytes.
    const std::string tag = "A" + std::to_string(++tag_);
    std::string line = tag + " LOGIN ";
    for (const std::string* part : {&login, &password}) {
      const std::size_t end = part->find("}\r\n");
      if (end == std::string::npos) {
        line += *part + (part == &login ? " " : "");
        continue;
      }
      if (!stream_->sendAll(line + part->substr(0, end + 3))) return ImapClientError::kSend;
      ImapResponse r;
      if (const auto e = receive(r); e != ImapClientError::kNone) return e;
      if (r.tag != "+") return ImapClientError::kLoginRefused;
      line = part->substr(end + 3) + (part == &login ? " " : "");
    }
    if (!stream_->sendAll(line + "\r\n")) return ImapClientError::kSend;
    ImapResponse r;
    do {
      if (const auto e = receive(r); e != ImapClientError::kNone) return e;
      common(r);
    } while (r.tag != tag);
    tagged = r.status();
  } else if (const auto e = command("LOGIN " + login + " " + password, tagged); e != ImapClientError::kNone) {
    return e;
  }
  if (tagged != "OK") {
    logout();
    return ImapClientError::kLoginRefused;
  }
  return ImapClientError::kNone;
}

// AUTHENTICATE XOAUTH2 or OAUTHBEARER with the token in the command (SASL-IR) or after "+"; a
// refusal gets one renewed token. Neither the token nor the line that carries it is logged.
ImapClientError ImapClientSession::loginWithToken() {
  const std::string mechanism(config::OauthMechanismName(account_.auth));
  if (!offers("AUTH=" + mechanism)) {
    log("Сервер не предлагает вход " + mechanism + ", заданный для счета\r\n");
    logout();
    return ImapClientError::kAuthNotOffered;
  }
  for (bool renew = false;; renew = true) {
    const std::optional<std::string> token = tokens_ ? tokens_->accessToken(renew) : std::nullopt;
    if (!token) {
      logout();
      return tokens_ && !tokens_->loginNeeded() ? ImapClientError::kOauthToken : ImapClientError::kOauthLogin;
    }
    const std::string response =
        account_.auth == config::OauthMechanism::kXoauth2
            ? net::Xoauth2Response(account_.login, *token)
            : net::OauthBearerResponse(account_.login, account_.server, static_cast<std::uint16_t>(account_.port), *token);
    log("AUTHENTICATE " + mechanism + "\r\n");
    const std::string tag = "A" + std::to_string(++tag_);
    const bool initial = offers("SASL-IR");
    if (!stream_->sendAll(tag + " AUTHENTICATE " + mechanism + (initial ? " " + response : std::string()) + "\r\n")) {
      return ImapClientError::kSend;
    }
    bool answered = initial;
    ImapResponse r;
    capabilitiesKnown_ = false;
    while (true) {
      if (const auto e = receive(r); e != ImapClientError::kNone) return e;
      if (r.tag == tag) break;
      if (r.tag == "+") {
        // The first "+" asks for the token; one after it carries the server's error.
        if (!answered) {
          answered = true;
          if (!stream_->sendAll(response + "\r\n")) return ImapClientError::kSend;
        } else {
          log("Ответ сервера: " + net::OauthErrorSummary(r.text) + "\r\n");
          if (!stream_->sendAll(account_.auth == config::OauthMechanism::kXoauth2 ? "\r\n" : net::OauthBearerAbort() + "\r\n")) {
            return ImapClientError::kSend;
          }
        }
        continue;
      }
      common(r);
    }
    common(r);
    if (r.status() == "OK") return ImapClientError::kNone;
    log("Сервер не принял вход: " + platform::Printable(r.text, 200) + "\r\n");
    if (renew || !tokens_ || !tokens_->renewable()) break;
  }
  logout();
  return ImapClientError::kAuthRefused;
}

void ImapClientSession::logout() {
  std::string tagged;
  loggingOut_ = true;
  command("LOGOUT", tagged);
  if (secure_) secure_->close();
}

ImapClientError ImapClientSession::select(const std::string& folder, spool::UidLedger& ledger, bool& renumbered) {
  exists_ = 0;
  validity_.clear();
  uidNext_.reset();
  std::string tagged;
  if (const auto e = command("SELECT " + FolderArgument(folder), tagged); e != ImapClientError::kNone) return e;
  if (tagged != "OK") {
    log("Не могу открыть папку \"" + folder + "\" на сервере\r\n");
    return ImapClientError::kFolder;
  }
  if (!ledger.load()) log("Не могу записать журнал загруженных сообщений " + ledger.path() + "\r\n");
  renumbered = false;
  if (validity_.empty() || !spool::IsValidUid(validity_)) validity_ = "0";
  if (!ledger.validity().empty() && ledger.validity() != validity_) {
    if (const auto e = renumber(ledger, validity_); e != ImapClientError::kNone) return e;
    renumbered = true;
  } else if (!ledger.setValidity(validity_)) {
    return ImapClientError::kLedger;
  }
  return ImapClientError::kNone;
}

ImapClientError ImapClientSession::examine(const std::string& folder, std::uint32_t& messages) {
  exists_ = 0;
  std::string tagged;
  if (const auto e = command("EXAMINE " + FolderArgument(folder), tagged); e != ImapClientError::kNone) return e;
  messages = exists_;
  return tagged == "OK" ? ImapClientError::kNone : ImapClientError::kFolder;
}

// Every message from UID `from` up, without sizes or marks: a search, which the server answers
// from its index (a size may mean reading the message).
ImapClientError ImapClientSession::listUids(std::uint32_t from, std::map<std::uint32_t, Listed>& listed) {
  std::string tagged;
  const auto e = command("UID SEARCH UID " + std::to_string(from) + ":*", tagged, [&](const ImapResponse& r) {
    if (!platform::ToUpperAscii(r.text).starts_with("SEARCH")) return ImapClientError::kNone;
    for (const std::uint32_t uid : SearchNumbers(r)) {
      if (uid >= from) listed[uid];  // "n:*" names the last message even below n
    }
    return ImapClientError::kNone;
  });
  if (e != ImapClientError::kNone) return e;
  return tagged == "OK" ? ImapClientError::kNone : ImapClientError::kFetch;
}

// Every message from UID `from` up: its size, and with `withMarks` its mark.
ImapClientError ImapClientSession::list(std::uint32_t from, bool withMarks, std::map<std::uint32_t, Listed>& listed) {
  std::string tagged;
  const std::string items = withMarks ? "(UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])" : "(UID RFC822.SIZE)";
  const auto e = command("UID FETCH " + std::to_string(from) + ":* " + items, tagged, [&](const ImapResponse& r) {
    std::uint32_t number = 0;
    std::string word;
    if (!NumberedWord(r, number, word) || word != "FETCH") return ImapClientError::kNone;
    const auto values = ParseValues(r, r.text.find('(') == std::string::npos ? r.text.size() : r.text.find('('));
    if (!values || values->empty() || values->front().kind != ImapValue::Kind::kList) return ImapClientError::kResponse;
    const FetchAttributes a = FetchAttributesOf(values->front());
    const ImapValue* uid = a.find("UID");
    const ImapValue* size = a.find("RFC822.SIZE");
    if (!uid || !size) return ImapClientError::kNone;  // news of flags, not our answer
    const auto u = Number32(uid->text);
    const auto s = Number64(size->text);
    if (!u || !s) return ImapClientError::kResponse;
    if (*u < from) return ImapClientError::kNone;  // "n:*" names the last message even below n
    Listed& entry = listed[*u];
    entry.size = *s;
    for (const auto& [name, value] : a.items) {
      if (name.starts_with("BODY[HEADER.FIELDS")) entry.mark = MessageMark(*s, MessageIdOf(value->text));
    }
    return ImapClientError::kNone;
  });
  if (e != ImapClientError::kNone) return e;
  return tagged == "OK" ? ImapClientError::kNone : ImapClientError::kFetch;
}

// The folder was made anew (its UIDVALIDITY changed): each message is matched by its size and
// Message-ID against what the ledger holds, and only the ones not found are new.
ImapClientError ImapClientSession::renumber(spool::UidLedger& ledger, const std::string& validity) {
  std::map<std::uint32_t, Listed> listed;
  if (exists_ > 0) {
    if (const auto e = list(1, true, listed); e != ImapClientError::kNone) return e;
  }
  std::multimap<std::string, std::string> before;
  for (const auto& [uid, day] : ledger.stored()) {
    if (const std::string mark = ledger.mark(uid); !mark.empty()) before.emplace(mark, uid);
  }
  std::map<std::string, std::string> carried;
  for (const auto& [uid, entry] : listed) {
    const auto found = entry.mark.empty() ? before.end() : before.find(entry.mark);
    if (found == before.end()) continue;
    carried[std::to_string(uid)] = found->second;
    before.erase(found);
  }
  log("UIDVALIDITY папки сменилась (" + ledger.validity() + " -> " + validity + "): по Message-ID и размеру " +
      std::to_string(carried.size()) + " из " + std::to_string(listed.size()) + " сообщений уже загружены\r\n");
  return ledger.renumber(validity, carried) ? ImapClientError::kNone : ImapClientError::kLedger;
}

ImapClientError ImapClientSession::collect(const std::string& folder) {
  spool::UidLedger ledger(programDir_, accountKey_, folder, today_);
  bool renumbered = false;
  storedNow_.clear();
  // A push session lives long: a session's run may have left files of this account meanwhile.
  nextFile_ = std::max(nextFile_, spool::NextDownloadFileNumber(programDir_, accountKey_));
  if (const auto e = select(folder, ledger, renumbered); e != ImapClientError::kNone) return e;
  // The listing begins above the last UID the ledger saw, or at the lowest message left for
  // its size (the limit may have been raised since).
  std::uint32_t from = renumbered ? 1 : ledger.last() + 1;
  for (const std::string& key : ledger.noticedKeys()) from = std::min<std::uint32_t>(from, Number32(key).value_or(from));
  newMail_ = false;
  std::map<std::uint32_t, Listed> listed;
  if (exists_ > 0 && (!uidNext_ || *uidNext_ > from || renumbered)) {
    // Sizes are asked for only where a size limit needs them.
    const auto e = account_.maxSizeKb != 0 ? list(from, false, listed) : listUids(from, listed);
    if (e != ImapClientError::kNone) return e;
  }
  std::vector<std::uint32_t> wanted;
  std::uint64_t total = 0;
  std::uint32_t highest = ledger.last();
  for (const auto& [uid, entry] : listed) {
    highest = std::max(highest, uid);
    if (ledger.contains(std::to_string(uid))) continue;
    if (account_.maxSizeKb != 0 && entry.size > std::uint64_t{account_.maxSizeKb} * 1024) {
      if (const auto e = tooLarge(uid, entry.size, ledger, folder); e != ImapClientError::kNone) return e;
      continue;
    }
    wanted.push_back(uid);
    total += entry.size;
  }
  log("Папка \"" + folder + "\": сообщений " + std::to_string(exists_) + ", новых " + std::to_string(wanted.size()) +
      (account_.maxSizeKb != 0 ? " (" + std::to_string(total) + " байтов)" : std::string()) + ".\r\n");
  if (const auto e = download(wanted, total, ledger, folder); e != ImapClientError::kNone) return e;
  // Everything up to the highest UID listed is stored, told about or left: the next listing
  // begins above it, or below the first message the server did not give (it is asked for again).
  for (const std::uint32_t uid : wanted) {
    if (!ledger.contains(std::to_string(uid))) {
      highest = std::min(highest, uid - 1);
      break;
    }
  }
  if (!ledger.setLast(highest)) return ImapClientError::kLedger;
  return remove(ledger);
}

// The file filled so far is handed over to be published while the next one fills; the one
// handed over before must be on disk first (one file in flight keeps the ledger in step).
bool ImapClientSession::storeBatch(spool::DownloadStore& store) {
  if (!batch_) return true;
  bool stored = true;
  if (batchMessages_.empty()) {
    batch_.reset();  // removed: nothing whole in it
  } else {
    // The UIDs go into the ledger, pending, before the file is published; once it is, they
    // stand. The file goes on its way while the next one is received.
    std::vector<std::uint32_t> uids;
    for (const auto& [uid, mark] : batchMessages_) uids.push_back(Number32(uid).value_or(0));
    stored = store.storeMarked(std::move(*batch_), batchNumber_, batchMessages_, batchWhole_);
    batch_.reset();
    if (stored) publishing_.push_back(std::move(uids));  // else a file before it failed: awaitStored tells
  }
  batchMessages_.clear();
  batchWhole_ = 0;
  return stored;
}

// The files on their way are on disk with their UIDs standing: their messages may go at the
// provider. After a file that failed, its messages and those of the files after it stay.
bool ImapClientSession::awaitStored(spool::DownloadStore& store) {
  const bool stored = store.wait();
  for (std::size_t file = 0; file < publishing_.size() && publishedTaken_ < store.published(); ++file) {
    storedNow_.insert(storedNow_.end(), publishing_[file].begin(), publishing_[file].end());
    ++publishedTaken_;
  }
  if (!stored) log("Ошибка записи файла загруженной почты " + store.failedFile() + " (" + store.reason() + ")\r\n");
  publishing_.clear();
  return stored;
}

// The new messages in UID order, several to a download file; a file is synced and published
// (its UIDs in the ledger first) every few megabytes, while the server goes on sending.
ImapClientError ImapClientSession::download(const std::vector<std::uint32_t>& uids, std::uint64_t total,
                                            spool::UidLedger& ledger, const std::string& folder) {
  publishedTaken_ = 0;
  spool::DownloadStore store(&ledger, [this](const std::string& path) {
    if (stored_) stored_(path);
  });
  store.settleInBackground();  // the ledger is not looked at again before the last file is stored
  std::uint64_t expected = 0;
  std::uint64_t received = 0;
  std::optional<MessageSink> sink;
  LiteralSink take = [&](std::string_view piece) {
    received += piece.size();
    return (*sink)(piece);
  };
  const auto choose = [&](std::string_view before, std::uint64_t size) -> LiteralSink* {
    std::string_view head = before.substr(0, before.rfind('{'));
    while (!head.empty() && head.back() == ' ') head.remove_suffix(1);
    if (!EndsWithNoCase(head, "BODY[]")) return nullptr;
    if (!batch_) {
      batchNumber_ = nextFile_++;
      batch_ = spool::DownloadFile::Create(programDir_, accountKey_, batchNumber_);
      if (!batch_) return nullptr;
    }
    sink.emplace(*batch_);
    expected = size;
    return &take;
  };
  const auto untagged = [&](const ImapResponse& r) -> ImapClientError {
    std::uint32_t number = 0;
    std::string word;
    if (!NumberedWord(r, number, word) || word != "FETCH" || !sink) return ImapClientError::kNone;
    const auto values = ParseValues(r, r.text.find('('));
    const ImapValue* uid = nullptr;
    if (values && !values->empty()) uid = FetchAttributesOf(values->front()).find("UID");
    const auto u = uid ? Number32(uid->text) : std::nullopt;
    if (!u || !sink->finish()) {
      sink.reset();
      return u ? ImapClientError::kDownloadFile : ImapClientError::kResponse;
    }
    batchMessages_[std::to_string(*u)] = MessageMark(expected, MessageIdOf(sink->header()));
    batchWhole_ = batch_->size();
    sink.reset();
    ++downloaded_;
    if (progress_) {
      // By the octets when the sizes were listed, else by the messages.
      const std::uint64_t share = total > 0 ? received * 100 / total : downloaded_ * 100 / std::max<std::size_t>(1, uids.size());
      progress_(static_cast<int>(std::min<std::uint64_t>(100, share)));
    }
    if ((batch_->size() >= kBatchBytes || batchMessages_.size() >= kBatchMessages) && !storeBatch(store)) {
      return ImapClientError::kDownloadFile;
    }
    return ImapClientError::kNone;
  };
  for (std::size_t at = 0; at < uids.size(); at += kUidsPerCommand) {
    const std::vector<std::uint32_t> part(uids.begin() + static_cast<std::ptrdiff_t>(at),
                                          uids.begin() + static_cast<std::ptrdiff_t>(std::min(uids.size(), at + kUidsPerCommand)));
    std::string tagged;
    const auto e = command("UID FETCH " + UidSet(part) + " (UID BODY.PEEK[])", tagged, untagged, choose);
    // What came whole is kept whatever happened after it, and on disk before anything goes on.
    const bool handed = storeBatch(store);
    const bool stored = awaitStored(store) && handed;
    if (!stored && e == ImapClientError::kNone) return ImapClientError::kDownloadFile;
    if (e != ImapClientError::kNone) return e;
    if (tagged != "OK") {
      log("Сервер не выдал сообщения папки \"" + folder + "\"\r\n");
      return ImapClientError::kFetch;
    }
  }
  return ImapClientError::kNone;
}

// A message larger than the account takes stays at the provider; the postmaster is told once,
// with its header.
ImapClientError ImapClientSession::tooLarge(std::uint32_t uid, std::uint64_t size, spool::UidLedger& ledger,
                                            const std::string& folder) {
  log("Сообщение UID " + std::to_string(uid) + " (" + std::to_string(size) + " байтов) больше " +
      std::to_string(account_.maxSizeKb) + " КБ: оставляю его на сервере.\r\n");
  const std::string key = std::to_string(uid);
  if (!tellTooLarge_ || ledger.noticed(key)) return ImapClientError::kNone;
  std::string header;
  std::string tagged;
  const auto e = command("UID FETCH " + key + " (UID BODY.PEEK[HEADER])", tagged, [&](const ImapResponse& r) {
    const auto values = ParseValues(r, std::min(r.text.size(), r.text.find('(')));
    if (!values || values->empty()) return ImapClientError::kNone;
    for (const auto& [name, value] : FetchAttributesOf(values->front()).items) {
      if (name.starts_with("BODY[HEADER]")) header = value->text.substr(0, 64 * 1024);
    }
    return ImapClientError::kNone;
  });
  if (e != ImapClientError::kNone) return e;
  if (tellTooLarge_({account_.server, account_.login, folder, uid, size, account_.maxSizeKb, header})) {
    ledger.markNoticed(key);
  } else {
    log("Не могу записать уведомление о сообщении UID " + key + " для почтмейстера (" + platform::LastFileErrorText() + ")\r\n");
  }
  return ImapClientError::kNone;
}

// What is stored and no longer kept goes: moved to the account's folder, or deleted. The
// ledger forgets a message only once the server has done it.
ImapClientError ImapClientSession::remove(spool::UidLedger& ledger) {
  std::vector<std::uint32_t> due;
  for (const auto& [uid, day] : ledger.stored()) {
    const bool expired = account_.keepDays == 0 ||
                         (account_.keepDays != config::kKeepForever && day > 0 && day + account_.keepDays <= today_);
    if (const auto u = Number32(uid); u && expired) due.push_back(*u);
  }
  std::sort(due.begin(), due.end());
  for (std::size_t at = 0; at < due.size(); at += kUidsPerCommand) {
    const std::vector<std::uint32_t> part(due.begin() + static_cast<std::ptrdiff_t>(at),
                                          due.begin() + static_cast<std::ptrdiff_t>(std::min(due.size(), at + kUidsPerCommand)));
    const std::string set = UidSet(part);
    std::string tagged;
    bool done = false;
    if (!account_.moveTo.empty() && offers("MOVE")) {
      if (const auto e = command("UID MOVE " + set + " " + FolderArgument(account_.moveTo), tagged); e != ImapClientError::kNone) return e;
      if (tagged != "OK") return ImapClientError::kRemove;
      done = true;
    } else if (!account_.moveTo.empty()) {
      if (const auto e = command("UID COPY " + set + " " + FolderArgument(account_.moveTo), tagged); e != ImapClientError::kNone) return e;
      if (tagged != "OK") return ImapClientError::kRemove;
    }
    if (!done) {
      if (const auto e = command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", tagged); e != ImapClientError::kNone) return e;
      if (tagged != "OK") return ImapClientError::kRemove;
      if (const auto e = expunge(part, done); e != ImapClientError::kNone) return e;
      if (!done) continue;
    }
    std::set<std::string> gone;
    for (const std::uint32_t uid : part) gone.insert(std::to_string(uid));
    if (!ledger.forget(gone)) return ImapClientError::kLedger;
  }
  if (!due.empty()) log("Удалено или перенесено на сервере: " + std::to_string(due.size()) + "\r\n");
  return ImapClientError::kNone;
}

// UID EXPUNGE of our own messages; without UIDPLUS a plain EXPUNGE, but only when no other
// message of the folder is marked \Deleted (someone else's deletion is not ours to finish):
// then ours stay marked, the ledger keeps them, and a later session tries again.
ImapClientError ImapClientSession::expunge(const std::vector<std::uint32_t>& uids, bool& done) {
  std::string tagged;
  done = false;
  if (offers("UIDPLUS")) {
    if (const auto e = command("UID EXPUNGE " + UidSet(uids), tagged); e != ImapClientError::kNone) return e;
    done = tagged == "OK";
    return done ? ImapClientError::kNone : ImapClientError::kRemove;
  }
  std::set<std::uint32_t> deleted;
  const auto e = command("UID SEARCH DELETED", tagged, [&](const ImapResponse& r) {
    if (platform::ToUpperAscii(r.text).starts_with("SEARCH")) deleted.merge(SearchNumbers(r));
    return ImapClientError::kNone;
  });
  if (e != ImapClientError::kNone) return e;
  for (const std::uint32_t uid : deleted) {
    if (!std::binary_search(uids.begin(), uids.end(), uid)) {
      log("В папке есть чужие сообщения, помеченные для удаления, а сервер не знает UID EXPUNGE: удалю свои позже\r\n");
      return ImapClientError::kNone;
    }
  }
  if (const auto e2 = command("EXPUNGE", tagged); e2 != ImapClientError::kNone) return e2;
  done = tagged == "OK";
  return done ? ImapClientError::kNone : ImapClientError::kRemove;
}

// IDLE until the server tells of more messages, `renewMs` pass or `stop` is set; then DONE
// and its tagged answer. Waits in slices of a second so a stop is seen soon.
ImapClientError ImapClientSession::idle(std::uint32_t renewMs, const std::atomic<bool>& stop, bool& newMail) {
  newMail = std::exchange(newMail_, false);
  if (newMail || stop) return ImapClientError::kNone;  // news came with the last command
  const std::string tag = "A" + std::to_string(++tag_);
  if (!stream_->sendAll(tag + " IDLE\r\n")) return ImapClientError::kSend;
  ImapResponse r;
  do {
    if (const auto e = receive(r); e != ImapClientError::kNone) return e;
    if (r.untagged()) common(r);
  } while (r.untagged());
  if (r.tag != "+") return r.tag == tag ? ImapClientError::kResponse : ImapClientError::kResponse;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(renewMs);
  while (!stop && !newMail_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const platform::Socket* socket = stream_->socketBeneath();
    if (socket && !lines_.holdsInput() && !stream_->holdsInput() &&
        platform::Socket::WaitReadable({socket}, static_cast<std::uint32_t>(std::min<long long>(left.count(), 1000))) != 0) {
      continue;  // nothing yet (an error shows in the receive that follows a wake-up)
    }
    if (const auto e = receive(r); e != ImapClientError::kNone) return e;
    common(r);
    if (r.status() == "BYE") return ImapClientError::kServerBye;
  }
  if (!stream_->sendAll("DONE\r\n")) return ImapClientError::kSend;
  do {
    if (const auto e = receive(r); e != ImapClientError::kNone) return e;
    common(r);
  } while (r.tag != tag);
  newMail = std::exchange(newMail_, false);
  return ImapClientError::kNone;
}

}  // namespace quelma::imap_client
