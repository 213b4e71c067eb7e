// The POP3 client's phases: one function each, the next phase chosen by the server's reply.
#include "pop3_client/pop3_client_session.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <set>

#include "codec/md5.h"
#include "net/line_limits.h"
#include "net/sasl_oauth.h"
#include "net/tls_log_text.h"
#include "net/transfer_form.h"
#include "platform/files.h"
#include "platform/text.h"
#include "spool/download_files.h"

namespace quelma::pop3_client {
namespace {

bool Positive(const std::string& reply) { return !reply.empty() && reply[0] == '+'; }

}  // namespace

Pop3ClientSession::Pop3ClientSession(net::ByteStream& stream, const config::ProviderAccount& account,
                                     std::string programDir, link::ActivityLog& log, link::MainWindow& window,
                                     spool::UidLedger* ledger, const net::TlsClient* stls,
                                     net::AccessTokenSource* tokens)
    : stream_(&stream),
      stls_(stls),
      account_(account),
      programDir_(std::move(programDir)),
      log_(log),
      window_(window),
      ledger_(ledger),
      tokens_(tokens),
      accountKey_(spool::AccountKey(account.server, account.login)),
      nextFile_(spool::NextDownloadFileNumber(programDir_, accountKey_)),
      keepDays_(ledger ? account.keepDays : 0) {}

Pop3ClientSession::Handler Pop3ClientSession::HandlerOf(Phase phase) {
  switch (phase) {
    case Phase::kGreeting: return &Pop3ClientSession::greeting;
    case Phase::kStls: return &Pop3ClientSession::stls;
    case Phase::kSasl: return &Pop3ClientSession::sasl;
    case Phase::kAuth: return &Pop3ClientSession::authenticate;
    case Phase::kApop: return &Pop3ClientSession::apop;
    case Phase::kUser: return &Pop3ClientSession::user;
    case Phase::kPass: return &Pop3ClientSession::pass;
    case Phase::kCapa: return &Pop3ClientSession::capa;
    case Phase::kStat: return &Pop3ClientSession::stat;
    case Phase::kUidl: return &Pop3ClientSession::uidl;
    case Phase::kList: return &Pop3ClientSession::list;
    case Phase::kRetr: return &Pop3ClientSession::retr;
    case Phase::kDele: return &Pop3ClientSession::dele;
    case Phase::kQuit: return &Pop3ClientSession::quit;
    case Phase::kDone: break;
  }
  return nullptr;
}

Pop3ClientError Pop3ClientSession::run() {
  log("Вход на сервер как \"" + account_.login + "\".\r\n");
  Pop3ClientError error = Pop3ClientError::kNone;
  while (phase_ != Phase::kDone && error == Pop3ClientError::kNone) error = (this->*HandlerOf(phase_))();
  // The messages that came whole are kept (and known to the ledger): the next session
  // deletes them at the provider instead of downloading them again, and the next run sorts
  // them.
  if (error != Pop3ClientError::kNone) {
    store_.onStored({});
    if (batch_ && batchWhole_ > 0) storeBatch(batchWhole_);
    awaitStored();
  }
  if (secure_) secure_->close();  // our close_notify, then the connection closes
  return error;
}

Pop3ClientError Pop3ClientSession::receive(Pop3ClientError nothing, Pop3ClientError cut) {
  switch (replies_.readLine(reply_, net::kMaxPop3Line + 1)) {
    case net::LineReceiver::Status::kLine: return Pop3ClientError::kNone;
    case net::LineReceiver::Status::kNothing: return nothing;
    case net::LineReceiver::Status::kCut: return cut;
  }
  return nothing;
}

Pop3ClientError Pop3ClientSession::refuse() {
  if (send("quit\r\n")) {
    std::string ignored;
    replies_.readSome(ignored);
  }
  return Pop3ClientError::kNegativeReply;
}

Pop3ClientError Pop3ClientSession::greeting() {
  if (receive(Pop3ClientError::kGreetingReceive, Pop3ClientError::kGreetingReceive) != Pop3ClientError::kNone) {
    return Pop3ClientError::kGreetingReceive;
  }
  if (reply_[0] != '+') return Pop3ClientError::kGreetingNegative;
  const auto open = reply_.find('<');
  if (open != std::string::npos && reply_.find('>', open) != std::string::npos) {
    const auto close = reply_.find_first_of(">\n", open);
    timeStamp_ = reply_.substr(open, close - open + (reply_[close] == '>' ? 1 : 0));
  }
  log("Сервер готов.\r\n");
  phase_ = stls_ ? Phase::kStls : loginPhase();
  return Pop3ClientError::kNone;
}

// How the login starts once the connection is as secure as the account asks.
Pop3ClientSession::Phase Pop3ClientSession::loginPhase() const {
  if (account_.auth != config::OauthMechanism::kNone) return Phase::kSasl;
  return account_.useApop != 0 && !timeStamp_.empty() ? Phase::kApop : Phase::kUser;
}

// CAPA must list STLS and STLS must be taken; then the handshake and its checks. A server that
// cannot is left at once: the login never goes out in clear.
Pop3ClientError Pop3ClientSession::stls() {
  if (!send("CAPA\r\n")) return Pop3ClientError::kStlsSend;
  if (const auto e = receive(Pop3ClientError::kStlsReceive, Pop3ClientError::kStlsReceive);
      e != Pop3ClientError::kNone) {
    return e;
  }
  bool offered = false;
  if (Positive(reply_)) {
    const auto e = readListing(Pop3ClientError::kStlsReceive, [&offered](const std::string& line) {
      std::string name = line.substr(0, line.find_first_of(" \r\n"));
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
      offered = offered || name == "STLS";
      return true;
    });
    if (e != Pop3ClientError::kNone) return e;
  }
  if (offered) {
    log("STLS\r\n");
    if (!send("STLS\r\n")) return Pop3ClientError::kStlsSend;
    if (const auto e = receive(Pop3ClientError::kStlsReceive, Pop3ClientError::kStlsReceive);
        e != Pop3ClientError::kNone) {
      return e;
    }
  }
  if (!offered || !Positive(reply_)) {
    log(offered ? "Сервер отказал в STLS: " + reply_ : std::string("Сервер не предлагает STLS\r\n"));
    log("Вход без шифрования запрещен настройками счета\r\n");
    refuse();
    return Pop3ClientError::kStlsNotOffered;
  }
  net::TlsFailure failure = net::TlsFailure::kNone;
  secure_ = net::StartClientTls(*stls_, *stream_, [this](const std::string& text) { log(text); }, failure);
  if (!secure_) return TlsError(failure);
  stream_ = secure_.get();
  replies_.restart(*stream_);  // whatever came before the handshake is not the server's word
  phase_ = loginPhase();
  return Pop3ClientError::kNone;
}

// The SASL mechanisms as CAPA lists them now (after STLS the server may offer others): the
// account's must be among them, or nothing of the token is sent.
Pop3ClientError Pop3ClientSession::sasl() {
  if (!send("CAPA\r\n")) return Pop3ClientError::kAuthSend;
  if (const auto e = receive(Pop3ClientError::kAuthReceive, Pop3ClientError::kAuthReceive); e != Pop3ClientError::kNone) {
    return e;
  }
  const std::string_view wanted = config::OauthMechanismName(account_.auth);
  bool offered = false;
  if (Positive(reply_)) {
    const auto e = readListing(Pop3ClientError::kAuthReceive, [&](const std::string& line) {
      std::string upper = line.substr(0, line.find_first_of("\r\n"));
      std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
      if (upper.starts_with("SASL ")) offered = offered || (" " + upper + " ").find(" " + std::string(wanted) + " ") != std::string::npos;
      return true;
    });
    if (e != Pop3ClientError::kNone) return e;
  }
  if (!offered) {
    log("Сервер не предлагает вход " + std::string(wanted) + ", заданный для счета\r\n");
    refuse();
    return Pop3ClientError::kAuthNotOffered;
  }
  phase_ = Phase::kAuth;
  return Pop3ClientError::kNone;
}

// "AUTH MECHANISM", the server's "+", then the token in one line. Neither the token nor the
// line that carries it is ever logged.
Pop3ClientError Pop3ClientSession::authenticate() {
  const std::optional<std::string> token = tokens_ ? tokens_->accessToken(renewed_) : std::nullopt;
  if (!token) {
    refuse();
    return tokens_ && !tokens_->loginNeeded() ? Pop3ClientError::kOauthToken : Pop3ClientError::kOauthLogin;
  }
  const std::string mechanism(config::OauthMechanismName(account_.auth));
  log("AUTH " + mechanism + "\r\n");
  if (!send("AUTH " + mechanism + "\r\n")) return Pop3ClientError::kAuthSend;
  if (const auto e = receive(Pop3ClientError::kAuthReceive, Pop3ClientError::kAuthReceive); e != Pop3ClientError::kNone) {
    return e;
  }
  if (!Positive(reply_) || reply_.starts_with("+OK")) return authRefused();
  const std::string response = account_.auth == config::OauthMechanism::kXoauth2
                                   ? net::Xoauth2Response(account_.login, *token)
                                   : net::OauthBearerResponse(account_.login, account_.server,
                                                              static_cast<std::uint16_t>(account_.port), *token);
  if (!send(response + "\r\n")) return Pop3ClientError::kAuthSend;
  if (const auto e = receive(Pop3ClientError::kAuthReceive, Pop3ClientError::kAuthReceive); e != Pop3ClientError::kNone) {
    return e;
  }
  if (reply_.starts_with("+OK")) {
    log("Маркер доступа принят сервером: сервер готов к работе.\r\n");
    phase_ = Phase::kCapa;
    return Pop3ClientError::kNone;
  }
  if (Positive(reply_)) {
    // The server's error challenge: what it says goes to the log, the exchange is ended.
    log("Ответ сервера на маркер доступа: " + net::OauthErrorSummary(reply_.substr(1)) + "\r\n");
    const std::string end = account_.auth == config::OauthMechanism::kXoauth2 ? "" : net::OauthBearerAbort();
    if (!send(end + "\r\n")) return Pop3ClientError::kAuthSend;
    if (const auto e = receive(Pop3ClientError::kAuthReceive, Pop3ClientError::kAuthReceive); e != Pop3ClientError::kNone) {
      return e;
    }
  }
  return authRefused();
}

// The first refusal may be of a token that has just expired or been revoked at the server:
// one more try with a new one (unless it was new already), then the run ends.
Pop3ClientError Pop3ClientSession::authRefused() {
  log("Сервер не принял маркер доступа: " + platform::Printable(reply_, 200) + "\r\n");
  if (!renewed_ && tokens_ && tokens_->renewable()) {
    renewed_ = true;
    return Pop3ClientError::kNone;
  }
  refuse();
  return Pop3ClientError::kAuthRefused;
}

// A refused APOP is no error: USER and PASS follow on the same connection.
Pop3ClientError Pop3ClientSession::apop() {
  const std::string command =
      "APOP " + account_.login + " " + codec::DigestToHex(codec::Md5Of(timeStamp_ + account_.password)) + "\r\n";
  log(command);
  if (!send(command)) return Pop3ClientError::kUserSend;
  if (const auto e = receive(Pop3ClientError::kUserReceive, Pop3ClientError::kUserReceiveRest);
      e != Pop3ClientError::kNone) {
    return e;
  }
  if (Positive(reply_)) {
    log("Пароль распознан сервером: сервер готов к работе.\r\n");
    phase_ = Phase::kCapa;
    return Pop3ClientError::kNone;
  }
  log("Server returned bad reply on APOP command:\r\n");
  log(reply_);
  log("Trying plain login\r\n");
  phase_ = Phase::kUser;
  return Pop3ClientError::kNone;
}

Pop3ClientError Pop3ClientSession::user() {
  if (!send("user " + account_.login + "\r\n")) return Pop3ClientError::kUserSend;
  if (const auto e = receive(Pop3ClientError::kUserReceive, Pop3ClientError::kUserReceiveRest);
      e != Pop3ClientError::kNone) {
    return e;
  }
  if (!Positive(reply_)) return refuse();
  log("Имя пользователя распознано сервером\r\n");
  phase_ = Phase::kPass;
  return Pop3ClientError::kNone;
}

Pop3ClientError Pop3ClientSession::pass() {
  if (!send("pass " + account_.password + "\r\n")) return Pop3ClientError::kPassSend;
  if (const auto e = receive(Pop3ClientError::kPassReceive, Pop3ClientError::kPassReceiveRest);
      e != Pop3ClientError::kNone) {
    return e;
  }
  if (!Positive(reply_)) return refuse();
  log("Пароль распознан сервером: сервер готов к работе.\r\n");
  phase_ = Phase::kCapa;
  return Pop3ClientError::kNone;
}

// What the server can do once logged in; only PIPELINING is looked for. A server without
// CAPA refuses it and gets one command at a time.
Pop3ClientError Pop3ClientSession::capa() {
  if (!send("capa\r\n")) return Pop3ClientError::kCapaSend;
  if (const auto e = receive(Pop3ClientError::kCapaReceive, Pop3ClientError::kCapaReceive);
      e != Pop3ClientError::kNone) {
    return e;
  }
  phase_ = stopAfterLogin_ ? Phase::kQuit : Phase::kStat;
  if (!Positive(reply_)) return Pop3ClientError::kNone;
  return readListing(Pop3ClientError::kCapaReceive, [this](const std::string& line) {
    std::string name = line.substr(0, line.find_first_of(" \r\n"));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    if (name == "PIPELINING") pipelining_ = true;
    return true;
  });
}

// The first digit after "+OK " says whether there is mail, the whole number how much.
Pop3ClientError Pop3ClientSession::stat() {
  if (!send("stat\r\n")) return Pop3ClientError::kStatSend;
  if (const auto e = receive(Pop3ClientError::kStatReceive, Pop3ClientError::kStatReceive);
      e != Pop3ClientError::kNone) {
    return e;
  }
  if (!Positive(reply_)) return refuse();
  if (reply_.size() > 4 && reply_[4] >= '1' && reply_[4] <= '9') {
    char* end = nullptr;
    count_ = std::strtoul(reply_.c_str() + 4, &end, 10);
    total_ = std::strtoull(end, nullptr, 10);
    log("На сервере " + std::to_string(count_) + " сообщений (" + std::to_string(total_) + " байтов)\r\n");
    current_ = 1;
    phase_ = count_ < 1 ? Phase::kQuit : ledger_ ? Phase::kUidl : Phase::kList;
  } else {
    log("ПОЧТОВЫЙ ЯЩИК НА СЕРВЕРЕ ПУСТ\r\n");
    phase_ = Phase::kQuit;
  }
  return Pop3ClientError::kNone;
}

// The provider's unique ids tell the messages already stored (an earlier session was cut off
// before its QUIT): they are deleted, not downloaded again. A provider without UIDL gets
// every message downloaded, as before.
Pop3ClientError Pop3ClientSession::uidl() {
  if (!send("uidl\r\n")) return Pop3ClientError::kUidlSend;
  if (const auto e = receive(Pop3ClientError::kUidlReceive, Pop3ClientError::kUidlReceive);
      e != Pop3ClientError::kNone) {
    return e;
  }
  phase_ = Phase::kList;
  if (!Positive(reply_)) {
    if (keepDays_ != 0) {
      log("Сервер не поддерживает UIDL: без него письма не могут оставаться на сервере, они удаляются после "
          "загрузки\r\n");
      keepDays_ = 0;
    }
    return Pop3ClientError::kNone;
  }
  if (const auto e = readUidlListing(); e != Pop3ClientError::kNone) return e;
  std::set<std::string> listed;
  for (const auto& [number, uid] : uids_) listed.insert(uid);
  ledger_->settle(&listed);
  return Pop3ClientError::kNone;
}

// "n uid" lines up to the end line; numbers beyond the mailbox, a second id for a number
// and ids that are not ids end the run, as a broken listing does.
Pop3ClientError Pop3ClientSession::readUidlListing() {
  return readListing(Pop3ClientError::kUidlReceive, [this](const std::string& line) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(line.c_str(), &end, 10);
    std::string uid(end);
    uid.erase(0, uid.find_first_not_of(' '));
    while (!uid.empty() && (uid.back() == '\n' || uid.back() == '\r' || uid.back() == ' ')) uid.pop_back();
    if (number < 1 || number > count_ || uids_.contains(number) || !spool::IsValidUid(uid)) return false;
    uids_[number] = uid;
    return true;
  });
}

Pop3ClientError Pop3ClientSession::readListing(Pop3ClientError broken,
                                               const std::function<bool(const std::string&)>& take) {
  for (;;) {
    if (receive(broken, broken) != Pop3ClientError::kNone) return broken;
    if (reply_ == ".\r\n" || reply_ == ".\n") return Pop3ClientError::kNone;
    if (!take(reply_)) return broken;
  }
}

// The size of every message, in one listing.
Pop3ClientError Pop3ClientSession::list() {
  if (!send("list\r\n")) return Pop3ClientError::kListSend;
  if (const auto e = receive(Pop3ClientError::kListReceive, Pop3ClientError::kListReceive);
      e != Pop3ClientError::kNone) {
    return e;
  }
  if (!Positive(reply_)) return refuse();
  if (const auto e = readListing(Pop3ClientError::kListReceive,
                                 [this](const std::string& line) {
                                   char* end = nullptr;
                                   const unsigned long number = std::strtoul(line.c_str(), &end, 10);
                                   if (number < 1 || number > count_ || sizes_.contains(number)) return false;
                                   sizes_[number] = std::strtoull(end, nullptr, 10);
                                   return true;
                                 });
      e != Pop3ClientError::kNone) {
    return e;
  }
  phase_ = Phase::kRetr;
  return noticeTooLarge();
}

bool Pop3ClientSession::stored(unsigned long number) const {
  const auto uid = uids_.find(number);
  return uid != uids_.end() && ledger_ && ledger_->contains(uid->second);
}

// A message stored before is deleted, unless the account keeps it and its days have not
// run out; a new one is downloaded, unless it is larger than the account takes.
Pop3ClientSession::Disposition Pop3ClientSession::dispositionOf(unsigned long number) {
  if (stored(number)) {
    if (keepDays_ == 0) {
      log("Сообщение " + std::to_string(number) + " уже загружено ранее.\r\n");
      return Disposition::kDelete;
    }
    const std::int32_t day = ledger_->storedDay(uids_[number]);
    if (keepDays_ == config::kKeepForever || ledger_->today() < day + keepDays_) return Disposition::kLeave;
    expired_.insert(number);
    return Disposition::kDelete;
  }
  return overMaxSize(number) ? Disposition::kTooLarge : Disposition::kDownload;
}

bool Pop3ClientSession::overMaxSize(unsigned long number) const {
  const auto size = sizes_.find(number);
  return account_.maxSizeKb != 0 && size != sizes_.end() && size->second > std::uint64_t{account_.maxSizeKb} * 1024;
}

// The messages to download into the next download file: from the next one on, up to the
// file's size or count. Those stored before are only deleted (or left).
std::vector<unsigned long> Pop3ClientSession::nextFile() {
  std::vector<unsigned long> wanted;
  std::uint64_t bytes = 0;
  while (current_ <= count_ && wanted.size() < kBatchMessages && bytes < kBatchBytes) {
    switch (dispositionOf(current_)) {
      case Disposition::kDelete: toDelete_.push_back(current_); break;
      case Disposition::kLeave:
      case Disposition::kTooLarge: ++leftOnServer_; break;
      case Disposition::kDownload:
        wanted.push_back(current_);
        bytes += sizes_[current_];
        break;
    }
    ++current_;
  }
  return wanted;
}

std::string Pop3ClientSession::retrCommands(const std::vector<unsigned long>& numbers) const {
  std::string commands;
  for (const unsigned long n : numbers) commands += "retr " + std::to_string(n) + "\r\n";
  return commands;
}

std::string Pop3ClientSession::deleCommands(std::size_t count) const {
  std::string commands;
  for (std::size_t i = 0; i < count; ++i) commands += "dele " + std::to_string(toDelete_[i]) + "\r\n";
  return commands;
}

// The messages of the next download file, received into it; stored, its DELEs are due. With
// pipelining the RETRs of the file after it (and the DELEs due) go out first, so the
// provider has them to send while this file is received and stored.
Pop3ClientError Pop3ClientSession::retr() {
  if (fetching_.empty()) {
    fetching_.push_back(nextFile());
    if (pipelining_ && !fetching_.back().empty() && !send(retrCommands(fetching_.back()))) {
      return Pop3ClientError::kRetrSend;
    }
  }
  std::size_t deles = 0;  // sent with the next file's RETRs: answered after this file
  if (pipelining_ && current_ <= count_) {
    deles = toDelete_.size();
    std::string commands = deleCommands(deles);
    fetching_.push_back(nextFile());
    commands += retrCommands(fetching_.back());
    if (!commands.empty() && !send(commands)) return Pop3ClientError::kRetrSend;
  }
  const std::vector<unsigned long> wanted = std::move(fetching_.front());
  fetching_.pop_front();
  for (const unsigned long n : wanted) {
    log("Загружаю сообщение " + std::to_string(n) + " (" + std::to_string(sizes_[n]) + " байтов)\r\n");
    if (!pipelining_ && !send("retr " + std::to_string(n) + "\r\n")) return Pop3ClientError::kRetrSend;
    if (const auto e = receive(Pop3ClientError::kRetrReceive, Pop3ClientError::kRetrStatusLine);
        e != Pop3ClientError::kNone) {
      return e;
    }
    if (!Positive(reply_)) return refuse();
    if (const auto e = receiveText(n); e != Pop3ClientError::kNone) return e;
  }
  if (const auto e = deleted(deles); e != Pop3ClientError::kNone) return e;
  if (batch_) {
    if (const auto e = storeBatch(batch_->size()); e != Pop3ClientError::kNone) return e;
  }
  return afterMessages();
}

// The next file's messages when their RETRs are out; else the DELEs due (once the last file
// is on disk, when every message has been fetched), else the next file, or QUIT after the last.
Pop3ClientError Pop3ClientSession::afterMessages() {
  if (!fetching_.empty()) {
    phase_ = Phase::kRetr;
    return Pop3ClientError::kNone;
  }
  if (current_ > count_) {
    if (const auto e = awaitStored(); e != Pop3ClientError::kNone) return e;
  }
  if (!toDelete_.empty()) {
    phase_ = Phase::kDele;
  } else if (current_ <= count_) {
    phase_ = Phase::kRetr;
  } else {
    log(leftOnServer_ == 0 ? std::string("Все сообщения загружены и удалены с сервера.\r\n")
                           : "Все сообщения загружены; на сервере остаются " + std::to_string(leftOnServer_) + ".\r\n");
    // Every message has been seen: the notes of large ones that are gone (or no longer too
    // large) can go.
    if (ledger_) ledger_->keepNoticesOf(tooLargeSeen_);
    phase_ = Phase::kQuit;
  }
  return Pop3ClientError::kNone;
}

// The messages larger than the account takes, before any is fetched: no RETR is then pending
// behind a TOP, and the postmaster hears of them even when the download breaks off.
Pop3ClientError Pop3ClientSession::noticeTooLarge() {
  for (unsigned long n = 1; n <= count_; ++n) {
    if (stored(n) || !overMaxSize(n)) continue;
    if (const auto e = tooLarge(n); e != Pop3ClientError::kNone) return e;
  }
  return Pop3ClientError::kNone;
}

// A message larger than the account takes stays at the provider; the postmaster is told once,
// with its header when the server gives it. Without a unique id from the provider the header
// itself tells the message apart.
Pop3ClientError Pop3ClientSession::tooLarge(unsigned long number) {
  log("Сообщение " + std::to_string(number) + " (" + std::to_string(sizes_[number]) + " байтов) больше " +
      std::to_string(account_.maxSizeKb) + " КБ: оставляю его на сервере.\r\n");
  const auto uid = uids_.find(number);
  if (!ledger_ || !tellTooLarge_ || (uid != uids_.end() && ledger_->noticed(uid->second))) {
    if (uid != uids_.end()) tooLargeSeen_.insert(uid->second);
    return Pop3ClientError::kNone;
  }
  std::string header;
  if (const auto e = topHeader(number, header); e != Pop3ClientError::kNone) return e;
  const std::string key = uid != uids_.end() ? uid->second : "md5:" + codec::DigestToHex(codec::Md5Of(std::to_string(sizes_[number]) + " " + header));
  tooLargeSeen_.insert(key);
  if (ledger_->noticed(key)) return Pop3ClientError::kNone;
  if (tellTooLarge_({account_.server, account_.login, {}, number, sizes_[number], account_.maxSizeKb, header})) {
    ledger_->markNoticed(key);
  } else {
    log("Не могу записать уведомление о сообщении " + std::to_string(number) + " для почтмейстера (" +
        platform::LastFileErrorText() + ")\r\n");
  }
  return Pop3ClientError::kNone;
}

// "TOP n 0": the message's header, unstuffed, up to 64 KB kept. A server that refuses TOP
// gives an empty header; that is no error.
Pop3ClientError Pop3ClientSession::topHeader(unsigned long number, std::string& header) {
  if (!send("top " + std::to_string(number) + " 0\r\n")) return Pop3ClientError::kTopSend;
  if (const auto e = receive(Pop3ClientError::kTopReceive, Pop3ClientError::kTopReceive); e != Pop3ClientError::kNone) {
    return e;
  }
  if (!Positive(reply_)) return Pop3ClientError::kNone;
  return readListing(Pop3ClientError::kTopReceive, [&header](const std::string& line) {
    if (header.size() < kTopHeaderKept) header += line.starts_with('.') ? line.substr(1) : line;
    return true;
  });
}

// The download file's first `keep` bytes go to disk: the ids of its messages go into the
// ledger, pending, before it is published, so a crash in between never leaves a stored
// message the ledger does not know. The file before it is waited for first. One command at a
// time, the file is on disk before anything more is sent; with pipelining it is published
// while the next file comes.
Pop3ClientError Pop3ClientSession::storeBatch(std::uint64_t keep) {
  if (const auto e = awaitStored(); e != Pop3ClientError::kNone) {
    batch_.reset();
    return e;
  }
  std::set<std::string> uids;
  for (const unsigned long n : batchMessages_) {
    if (const auto uid = uids_.find(n); uid != uids_.end()) uids.insert(uid->second);
  }
  const bool started = store_.store(std::move(*batch_), batchNumber_, uids, keep);
  batch_.reset();
  if (!started) return fileFailed(store_.failedFile(), store_.reason());
  publishing_ = std::move(batchMessages_);
  batchMessages_.clear();
  batchWhole_ = 0;
  return pipelining_ ? Pop3ClientError::kNone : awaitStored();
}

// The file being published is on disk: its messages' DELEs are due.
Pop3ClientError Pop3ClientSession::awaitStored() {
  if (!store_.busy()) return Pop3ClientError::kNone;
  const bool stored = store_.wait();
  const std::vector<unsigned long> messages = std::move(publishing_);
  publishing_.clear();
  if (!stored) return fileFailed(store_.failedFile(), store_.reason());
  for (const unsigned long n : messages) {
    // A message the provider gave no id for cannot be told apart next time: it is not kept.
    if (keepDays_ == 0 || !uids_.contains(n)) {
      toDelete_.push_back(n);
    } else {
      ++leftOnServer_;
      log("Сообщение " + std::to_string(n) + " загружено и остается на сервере.\r\n");
    }
  }
  return Pop3ClientError::kNone;
}

// The text after the status line, up to and including the end line, into the download file
// being filled.
Pop3ClientError Pop3ClientSession::receiveText(unsigned long number) {
  if (!batch_) {
    batchNumber_ = nextFile_++;
    batch_ = spool::DownloadFile::Create(programDir_, accountKey_, batchNumber_);
    if (!batch_) return fileFailed(spool::DownloadFilePartPath(programDir_, accountKey_, batchNumber_));
  }
  // The end line is found as the sorter will find it; the text stays in transfer form. The
  // status line has ended a line, so an empty message (the end line right after it) ends too.
  // What follows the end (a pipelined reply) is kept for the next.
  net::DotUnstuffer endFinder;
  for (;;) {
    std::string_view piece;
    if (!replies_.peek(piece)) return Pop3ClientError::kRetrText;
    const std::size_t end = endFinder.add(piece, [](std::string_view) {});
    const std::string_view text = piece.substr(0, end);
    replies_.consume(end);
    if (!batch_->write(text)) return fileFailed(batch_->path());
    received_ += text.size();
    if (total_ > 0) {
      window_.setProgress(link::kPop3ProgressPart,
                          static_cast<int>(std::min<unsigned long long>(received_ * 100 / total_, 100)));
    }
    if (endFinder.ended()) break;
  }
  batchMessages_.push_back(number);
  batchWhole_ = batch_->size();
  return Pop3ClientError::kNone;
}

// A download file that cannot be written ends the run; the log says which and why.
Pop3ClientError Pop3ClientSession::fileFailed(const std::string& path, const std::string& reason) {
  log("Не могу записать файл \"" + path + "\" (" + reason + ")\r\n");
  return Pop3ClientError::kDownloadFile;
}

Pop3ClientError Pop3ClientSession::fileFailed(const std::string& path) {
  return fileFailed(path, platform::LastFileErrorText());
}

Pop3ClientError Pop3ClientSession::dele() {
  if (pipelining_ && !send(deleCommands(toDelete_.size()))) return Pop3ClientError::kDeleSend;
  if (const auto e = deleted(toDelete_.size()); e != Pop3ClientError::kNone) return e;
  return afterMessages();
}

// The replies to the first `count` DELEs due; one command at a time, each is sent first.
Pop3ClientError Pop3ClientSession::deleted(std::size_t count) {
  for (; count > 0; --count) {
    const std::string n = std::to_string(toDelete_.front());
    if (!pipelining_ && !send("dele " + n + "\r\n")) return Pop3ClientError::kDeleSend;
    if (const auto e = receive(Pop3ClientError::kDeleReceive, Pop3ClientError::kDeleReceive);
        e != Pop3ClientError::kNone) {
      return e;
    }
    if (!Positive(reply_)) return refuse();
    log(expired_.contains(toDelete_.front())
            ? "Сообщение " + n + " хранилось на сервере " + std::to_string(keepDays_) + " дн. и удалено с него.\r\n"
            : "Сообщение " + n + " загружено и удалено с сервера.\r\n");
    toDelete_.pop_front();
  }
  return Pop3ClientError::kNone;
}

// The provider removes the deleted messages once it has QUIT; its reply is not judged.
Pop3ClientError Pop3ClientSession::quit() {
  log("Отключаюсь от сервера\r\n");
  if (!send("quit\r\n")) return Pop3ClientError::kQuitSend;
  std::string ignored;
  replies_.readSome(ignored);
  phase_ = Phase::kDone;
  return Pop3ClientError::kNone;
}

}  // namespace quelma::pop3_client
