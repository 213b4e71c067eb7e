// The POP3 client run: guard, leftovers, login by APOP or USER/PASS, STAT, LIST/RETR/DELE
// per message, QUIT, collection into "mail.txt" and sorting.
#include "pop3_client/pop3_client_run.h"

#include <algorithm>
#include <cstdlib>

#include "codec/md5.h"
#include "platform/exit_gate.h"
#include "platform/files.h"
#include "platform/running_guard.h"
#include "platform/socket.h"
#include "pop3_client/sort_downloaded_mail.h"

namespace quelma::pop3_client {
namespace {

constexpr std::size_t kBuffer = 2000;

struct RunError {
  int number;
};

class Run {
 public:
  explicit Run(const Pop3ClientContext& c) : c_(c) {}
  int run();

 private:
  void log(const std::string& text) { c_.log.LogPop3Client(text); }
  void status(const char* text) { c_.window.setStatusText(link::kPop3LabelPart, text); }
  void progress(int percent) { c_.window.setProgress(link::kPop3ProgressPart, percent); }
  void connect();
  void login();
  void download(const std::string& statReply);
  void sendLine(const std::string& line, int error);
  std::string receiveLineByBytes(int error);
  // Pieces until one ends with a line feed: `error` when the first fails, `restError` after.
  std::string receiveReply(int error, int restError);
  void requirePositive(const std::string& reply);
  void collectDownloadFiles();
  std::string path(const std::string& name) const { return c_.programDir + name; }

  const Pop3ClientContext& c_;
  platform::Socket socket_;
};

void Run::sendLine(const std::string& line, int error) {
  if (!socket_.sendAll(line)) throw RunError{error};
}

std::string Run::receiveLineByBytes(int error) {
  std::string line;
  char c = 0;
  do {
    if (socket_.receive(&c, 1) != 1) throw RunError{error};
    if (line.size() < kBuffer) {
      line.push_back(c);
    } else {
      line.back() = c;  // the buffer is full: later bytes overwrite its last one
    }
  } while (c != '\n');
  return line;
}

std::string Run::receiveReply(int error, int restError) {
  std::string reply;
  char buffer[kBuffer];
  do {
    const long n = socket_.receive(buffer, sizeof buffer);
    if (n <= 0) throw RunError{reply.empty() ? error : restError};
    reply.append(buffer, static_cast<std::size_t>(n));
    if (reply.size() > 64 * kBuffer) reply.erase(0, reply.size() - kBuffer);  // bounded
  } while (reply.back() != '\n');
  return reply;
}

// A negative reply ends the run with error 30, after a polite QUIT.
void Run::requirePositive(const std::string& reply) {
  if (!reply.empty() && reply[0] == '+') return;
  if (socket_.sendAll("quit\r\n")) {
    char buffer[kBuffer];
    socket_.receive(buffer, sizeof buffer);
  }
  throw RunError{30};
}

void Run::connect() {
  if (!platform::InitSocketLibrary()) throw RunError{1};
  std::optional<platform::Ipv4Address> address = platform::ParseDottedAddress(c_.account.server);
  if (address) {
    log("Определение адреса не требуется\r\n");
  } else {
    log("Определяю IP адрес сервера \"" + c_.account.server + "\"\r\n");
    address = platform::ResolveHost(c_.account.server);
    if (!address) throw RunError{2};
    log("Определен адрес: " + address->toString() + "\r\n");
  }
  socket_ = platform::Socket::CreateTcp();
  if (!socket_.valid()) throw RunError{3};
  if (!socket_.setSendTimeout(c_.receiveTimeoutMs)) throw RunError{4};
  if (!socket_.setReceiveTimeout(c_.receiveTimeoutMs)) throw RunError{5};
  if (!socket_.connect(*address, static_cast<std::uint16_t>(c_.account.port))) {
    log("Не смог установить связь с POP3 сервером\r\n");
    throw RunError{6};
  }
}

void Run::login() {
  log("Вход на сервер как \"" + c_.account.login + "\".\r\n");
  std::string greeting = receiveLineByBytes(7);
  if (greeting[0] != '+') throw RunError{8};
  const auto open = greeting.find('<');
  if (open != std::string::npos && greeting.find('>', open) != std::string::npos) {
    const auto close = greeting.find_first_of(">\n", open);
    greeting = greeting.substr(open, close - open + (greeting[close] == '>' ? 1 : 0));
  }
  log("Сервер готов.\r\n");
  if (c_.account.useApop != 0 && greeting[0] == '<') {
    const std::string command = "APOP " + c_.account.login + " " +
                                codec::DigestToHex(codec::Md5Of(greeting + c_.account.password)) + "\r\n";
    log(command);
    sendLine(command, 10);
    const std::string reply = receiveReply(11, 12);
    if (reply[0] == '+') {
      log("Пароль распознан сервером: сервер готов к работе.\r\n");
      return;
    }
    log("Server returned bad reply on APOP command:\r\n");
    log(reply);
    log("Trying plain login\r\n");
  }
  sendLine("user " + c_.account.login + "\r\n", 10);
  requirePositive(receiveReply(11, 12));
  log("Имя пользователя распознано сервером\r\n");
  sendLine("pass " + c_.account.password + "\r\n", 13);
  requirePositive(receiveReply(14, 15));
  log("Пароль распознан сервером: сервер готов к работе.\r\n");
}

void Run::download(const std::string& statReply) {
  char* end = nullptr;
  const unsigned long count = std::strtoul(statReply.c_str() + 4, &end, 10);
  const unsigned long long total = std::strtoull(end, nullptr, 10);
  log("На сервере " + std::to_string(count) + " сообщений (" + std::to_string(total) + " байтов)\r\n");
  unsigned long long received = 0;
  for (unsigned long k = 1; k <= count; ++k) {
    const std::string n = std::to_string(k);
    sendLine("list " + n + "\r\n", 19);
    const std::string list = receiveReply(20, 20);
    requirePositive(list);
    char* sizeAt = nullptr;
    const unsigned long number = std::strtoul(list.c_str() + 4, &sizeAt, 10);
    log("Загружаю сообщение " + std::to_string(number) + " (" + std::to_string(std::strtoull(sizeAt, nullptr, 10)) +
        " байтов)\r\n");
    sendLine("retr " + n + "\r\n", 22);
    char first = 0;
    if (socket_.receive(&first, 1) != 1) throw RunError{23};
    if (first != '+') requirePositive(std::string(1, first));
    receiveLineByBytes(24);
    // Downloaded under a name the collection never takes, and renamed once it is whole on
    // disk: a download cut off by the program's end or a crash is never taken as a message.
    const std::string file = path(n + ".popfile.part");
    auto out = platform::OutputFile::Create(file, platform::CreateMode::kTruncate);
    if (!out) throw RunError{21};
    std::string window;  // the last five bytes, across pieces
    char buffer[kBuffer];
    bool complete = false;
    while (!complete) {
      const long got = socket_.receive(buffer, sizeof buffer);
      if (got <= 0 || !out->write(std::string_view(buffer, static_cast<std::size_t>(got)))) {
        out.reset();
        platform::RemoveFile(file);
        throw RunError{25};
      }
      window.append(buffer, static_cast<std::size_t>(got));
      if (window.size() > 5) window.erase(0, window.size() - 5);
      complete = window == "\r\n.\r\n";
      received += static_cast<unsigned long long>(got);
      if (total > 0) progress(static_cast<int>(std::min<unsigned long long>(received * 100 / total, 100)));
    }
    // On disk before the server may drop the message: QUIT makes the deletion real.
    if (!out->sync() || !out->close() || !platform::RenameReplacing(file, path(n + ".popfile"))) {
      out.reset();
      platform::RemoveFile(file);
      throw RunError{21};
    }
    platform::SyncParentDirectory(path(n + ".popfile"));
    sendLine("dele " + n + "\r\n", 26);
    requirePositive(receiveReply(27, 27));
    log("Сообщение " + n + " загружено и удалено с сервера.\r\n");
  }
  log("Все сообщения загружены и удалены с сервера.\r\n");
}

// The download files go into "mail.txt" in message-number order, each synced there before
// it is deleted.
void Run::collectDownloadFiles() {
  for (const auto& name : platform::ListDirectory(c_.programDir, "*.popfile.part")) platform::RemoveFile(path(name));
  std::vector<std::pair<unsigned long, std::string>> files;
  for (const auto& name : platform::ListDirectory(c_.programDir, "*.popfile")) {
    files.emplace_back(std::strtoul(name.c_str(), nullptr, 10), name);
  }
  std::sort(files.begin(), files.end());
  for (const auto& [number, name] : files) {
    const platform::ExitGateHold whole;  // the copy and the deletion of its source, not half of it
    auto mail = platform::OutputFile::Create(path("mail.txt"), platform::CreateMode::kAppend);
    if (!mail) throw RunError{28};
    auto in = platform::InputFile::Open(path(name));
    if (!in) throw RunError{29};
    if (!platform::CopyToEnd(*in, *mail) || !mail->sync() || !mail->close()) throw RunError{28};
    in.reset();
    platform::RemoveFile(path(name));
  }
}

int Run::run() {
  auto guard = platform::RunningGuard::TryAcquire(kPop3ClientGuard);
  if (!guard) return 1;
  try {
    log("*** Загрузка почты с POP3 сервера \"" + c_.account.server + "\"\r\n");
    if (auto marker = platform::OutputFile::Create(c_.config.MailDropDir + "pop3_download.runs",
                                                   platform::CreateMode::kTruncate)) {
      marker->close();
    }
    collectDownloadFiles();
    SortDownloadedMail({c_.config, c_.sorter, c_.log, c_.programDir}, true, "*");
    progress(0);
    status("POP3 клиент сеанс:");
    connect();
    login();
    sendLine("stat\r\n", 16);
    const std::string stat = receiveReply(17, 17);
    requirePositive(stat);
    if (stat.size() > 4 && stat[4] >= '1' && stat[4] <= '9') {
      download(stat);
    } else {
      log("ПОЧТОВЫЙ ЯЩИК НА СЕРВЕРЕ ПУСТ\r\n");
    }
    log("Отключаюсь от сервера\r\n");
    sendLine("quit\r\n", 18);
    char buffer[kBuffer];
    socket_.receive(buffer, sizeof buffer);
    socket_.close();
    progress(100);
    status("POP3 сортировка...");
    collectDownloadFiles();
    const bool byRules = c_.account.deliverTo.starts_with('*');
    SortDownloadedMail({c_.config, c_.sorter, c_.log, c_.programDir}, byRules, c_.account.deliverTo);
  } catch (const RunError& e) {
    log("Ошибка " + std::to_string(e.number) + ": работа POP3 клиента закончена\r\n");
    socket_.close();
    status("POP3 клиент ОШИБКА");
    progress(0);
    guard.reset();
    c_.window.post(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kPop3Client), 0);
    return e.number;
  }
  status("POP3 клиент успех");
  progress(0);
  guard.reset();
  c_.window.send(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kPop3Client), 0);
  return 0;
}

}  // namespace

int RunPop3Client(const Pop3ClientContext& context) {
  Run run(context);
  return run.run();
}

}  // namespace quelma::pop3_client
