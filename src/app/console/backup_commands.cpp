// The backup and restore commands, and the running program's side of a backup request: "backup
// 0|1 FILE" (1: with the OAuth tokens) in, "ok" or "fail" and the report's lines back.
#include "app/console/backup_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/backup_report.h"
#include "app/console/control_door.h"
#include "app/console/existing_settings.h"
#include "platform/cp1251_utf8.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "spool/delivery.h"

namespace quelma::app {
namespace {

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::string here(4096, '\0');
  if (::getcwd(here.data(), here.size()) == nullptr) return path;
  here.resize(std::char_traits<char>::length(here.c_str()));
  return here + "/" + path;
}

void Print(const OutcomeReport& report) {
  for (const std::string& line : report.lines) {
    std::fprintf(report.done ? stdout : stderr, "%s\n", platform::Cp1251ToUtf8(line).c_str());
  }
}

std::string ReplyOf(const OutcomeReport& report) {
  std::string reply = report.done ? "ok\n" : "fail\n";
  for (const std::string& line : report.lines) reply += line + "\n";
  return reply;
}

// The report back from a reply; nothing for a reply this build does not know.
std::optional<OutcomeReport> ReportOf(const std::string& reply) {
  OutcomeReport report;
  std::size_t at = reply.find('\n');
  if (at == std::string::npos) return std::nullopt;
  const std::string first = reply.substr(0, at);
  if (first != "ok" && first != "fail") return std::nullopt;
  report.done = first == "ok";
  for (std::size_t next; (next = reply.find('\n', at + 1)) != std::string::npos; at = next) {
    report.lines.push_back(reply.substr(at + 1, next - at - 1));
  }
  return report;
}

// The file the running program writes the archive into: without a name until it is whole, so
// a command interrupted on the way leaves nothing; where the file system cannot make such a
// file, under FILE.part (removed when the backup fails).
struct ArchiveFile {
  int fd = -1;
  bool named = false;
  std::string part;
};

ArchiveFile OpenArchiveFile(const std::string& archive) {
  ArchiveFile file{-1, false, archive + ".part"};
  const std::string directory = archive.substr(0, archive.rfind('/') + 1);
  file.fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (file.fd >= 0) return file;
  file.named = true;
  file.fd = ::open(file.part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  return file;
}

// The whole archive under its name (an older one of that name replaced), the name synced.
bool NameArchiveFile(const ArchiveFile& file, const std::string& archive) {
  if (!file.named) {
    platform::RemoveFile(file.part);
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, file.part.c_str(), AT_SYMLINK_FOLLOW) != 0) return false;
  }
  if (platform::RenameReplacing(file.part, archive, false)) return true;
  if (!file.named) platform::RemoveFile(file.part);
  return false;
}

}  // namespace

int BackupCommand(const std::string& programDir, const std::vector<std::string>& words) {
  const bool withTokens = !words.empty() && words[0] == "--with-tokens";
  if (words.size() != (withTokens ? 2u : 1u) || words.back().empty()) return 2;
  const std::string archive = Absolute(words.back());
  if (const auto instance = platform::InstanceLock::TryAcquire(programDir)) {
    // No program runs on the directory, nor can one start until the backup is taken.
    const auto config = LoadExistingSettings(programDir);
    if (!config) return 1;
    std::string unfinished;
    if (!spool::PrepareSpool(*config, &unfinished) || !unfinished.empty()) {
      std::fprintf(stderr, "quelma: the spool is not ready (%s): no backup taken\n", unfinished.c_str());
      return 1;
    }
    const OutcomeReport report = RunBackup(*config, programDir, archive, {withTokens});
    Print(report);
    return report.done ? 0 : 1;
  }
  // The running program writes into a file this command makes (it may run where it cannot
  // write the archive's place itself); the file gets its name once the program says it is whole.
  ArchiveFile file = OpenArchiveFile(archive);
  if (file.fd < 0) {
    std::fprintf(stderr, "quelma: cannot create %s: %s\n", file.part.c_str(), std::strerror(errno));
    return 1;
  }
  std::string problem;
  std::optional<std::string> reply;
  if (platform::MakeCurrentDirectory(programDir)) {
    reply = AskRunningProgram(std::string("backup ") + (withTokens ? "1 " : "0 ") + archive, file.fd, problem);
  } else {
    problem = "cannot enter " + programDir;
  }
  auto report = reply ? ReportOf(*reply) : std::nullopt;
  if (report && report->done && !NameArchiveFile(file, archive)) {
    report->done = false;
    report->lines = {"cannot name " + archive + ": " + platform::LastFileErrorText()};
  }
  ::close(file.fd);
  if ((!report || !report->done) && file.named) platform::RemoveFile(file.part);
  if (!report) {
    std::fprintf(stderr, "quelma: %s\n", reply ? "the running quelma gave an answer this build does not know" : problem.c_str());
    return 1;
  }
  Print(*report);
  return report->done ? 0 : 1;
}

int RestoreCommand(const std::vector<std::string>& words) {
  if (words.size() != 2 || words[0].empty() || words[1].empty()) return 2;
  const OutcomeReport report = RunRestore(words[0], words[1]);
  Print(report);
  if (report.done) std::printf("Next: quelma --dir %s check local\n", words[1].c_str());
  return report.done ? 0 : 1;
}

std::string AnswerBackupRequest(const std::string& request, int handedFile, const std::string& programDir,
                                const config::Configuration& config, link::ActivityLog& log) {
  constexpr std::string_view kWord = "backup ";
  if (handedFile < 0) return "fail\nзапрос без файла для архива\n";
  platform::OutputFile out = platform::OutputFile::Adopt(handedFile);
  if (!request.starts_with(kWord) || request.size() < kWord.size() + 3 ||
      (request[kWord.size()] != '0' && request[kWord.size()] != '1') || request[kWord.size() + 1] != ' ') {
    return "fail\nнепонятный запрос\n";
  }
  const std::string archive = request.substr(kWord.size() + 2);
  log.LogSystem("Резервная копия в " + archive + " начата по команде\r\n");
  const OutcomeReport report = RunBackupInto(config, programDir, out, archive, {request[kWord.size()] == '1'});
  for (const std::string& line : report.lines) log.LogSystem(line + "\r\n");
  return ReplyOf(report);
}

}  // namespace quelma::app
