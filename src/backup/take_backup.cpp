// The backup's members in the order that keeps them true to each other: the settings, the
// ledgers before the files of downloaded mail (a file published in between is then in the
// archive twice over at worst, never lost), those files and the maildrops while no sorting
// moves mail from one to the other, then the queue files before their sent marks.
#include "backup/take_backup.h"

#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "backup/archive_writer.h"
#include "backup/backup_manifest.h"
#include "config/config_file.h"
#include "oauth/token_store.h"
#include "platform/files.h"
#include "platform/secret_protection.h"
#include "spool/delivery.h"
#include "spool/download_files.h"
#include "spool/mailbox_index_file.h"
#include "spool/maildrop_locks.h"
#include "spool/queue_file.h"

namespace quelma::backup {
namespace {

constexpr std::size_t kLargestSmallFile = std::size_t{1} << 30;  // settings, ledgers, an index
// A mailbox cut by a compaction while it was copied is copied again; the last time the
// compaction waits for the copy.
constexpr int kUnlockedAttempts = 3;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool EndsWith(std::string_view text, std::string_view end) { return text.ends_with(end); }

// The member prefix ("maildrop/") of a directory setting; a directory outside the program
// directory gets a stand-in name.
std::string DirectoryMember(const std::string& programDir, const std::string& directory, const char* standIn) {
  return MemberInside(programDir, directory).value_or(standIn);
}

class Taker {
 public:
  Taker(const config::Configuration& config, const std::string& programDir, ArchiveWriter& out, BackupFigures& figures,
        std::string& problem)
      : config_(config), programDir_(programDir), out_(out), figures_(figures), problem_(problem) {}

  BackupManifest plan(bool withTokens);
  bool takeAll(const BackupManifest& manifest, bool withTokens);

 private:
  bool fail(const std::string& what) {
    if (problem_.empty()) problem_ = what + " (" + platform::LastFileErrorText() + ")";
    return false;
  }
  bool writeFailed() { return fail("не удалось записать архив"); }
  bool addWhole(const std::string& path, const std::string& member, bool wholeLines = false);
  bool addUnchanging(const std::string& path, const std::string& member);
  bool addMailbox(const std::string& path, const std::string& prefix);
  bool takeProgramFiles(const BackupManifest& manifest, bool withTokens);
  bool takeMaildrops(const std::string& prefix);
  bool takeUser(const std::string& prefix, const std::string& name);
  bool takeQueue(const std::string& prefix);

  const config::Configuration& config_;
  const std::string& programDir_;
  ArchiveWriter& out_;
  BackupFigures& figures_;
  std::string& problem_;
};

BackupManifest Taker::plan(bool withTokens) {
  BackupManifest m;
  m.created = Now();
  m.programDir = programDir_;
  m.places["MailDropDir"] = DirectoryMember(programDir_, config_.MailDropDir, "outside-maildrop/");
  m.places["QueueDir"] = DirectoryMember(programDir_, config_.QueueDir, "outside-queue/");
  const std::pair<const char*, const std::string*> files[] = {
      {"TLS_CERT_FILE", &config_.TLS_CERT_FILE}, {"TLS_KEY_FILE", &config_.TLS_KEY_FILE}, {"TLS_CA_FILE", &config_.TLS_CA_FILE}};
  for (const auto& [key, path] : files) {
    if (path->empty()) continue;
    if (const auto member = MemberInside(programDir_, *path); member && platform::FileExists(*path)) {
      m.places[key] = *member;
    } else {
      figures_.leftOut.push_back(std::string(key) + " " + *path);
    }
  }
  if (withTokens) m.tokens = platform::SecretsAreSealed() ? TokensKept::kSealed : TokensKept::kPlain;
  figures_.tokensSealed = m.tokens == TokensKept::kSealed;
  return m;
}

// A file read whole as it stands; one that is not there is passed over. With `wholeLines`
// a line being appended at this moment is left out.
bool Taker::addWhole(const std::string& path, const std::string& member, bool wholeLines) {
  if (!platform::FileExists(path)) return true;
  auto bytes = platform::ReadWholeFile(path, kLargestSmallFile);
  if (!bytes) return !platform::FileExists(path) || fail("не удалось прочитать " + path);
  if (wholeLines) bytes->resize(bytes->rfind('\n') == std::string::npos ? 0 : bytes->rfind('\n') + 1);
  return out_.addFile(member, *bytes) || writeFailed();
}

// A file that never changes once it has its name (a published file of downloaded mail, a
// queue file); one that goes meanwhile (sorted, sent) is passed over.
bool Taker::addUnchanging(const std::string& path, const std::string& member) {
  auto in = platform::InputFile::Open(path);
  const auto size = platform::FileSize(path);
  if (!in || !size) return !platform::FileExists(path) || fail("не удалось прочитать " + path);
  switch (out_.addFileFrom(member, *in, *size)) {
    case ArchiveWriter::Copied::kWhole: return true;
    case ArchiveWriter::Copied::kShort: return fail("файл " + path + " изменился во время копирования");
    case ArchiveWriter::Copied::kFailed: break;
  }
  return in->failed() ? fail("не удалось прочитать " + path) : writeFailed();
}

// The mailbox file and its index as they stood at one moment: both taken under the mailbox's
// delivery lock, so no delivery is half done, and only the file's bytes up to that moment
// copied (later deliveries only add after them). Only a compaction can change those bytes:
// a copy it cut short is made again.
bool Taker::addMailbox(const std::string& path, const std::string& prefix) {
  const std::string indexPath = spool::MailboxIndexPath(path);
  const auto member = MemberInside(config_.MailDropDir, path);
  const auto indexMember = MemberInside(config_.MailDropDir, indexPath);
  if (!member) return true;
  for (int attempt = 0;; ++attempt) {
    std::unique_lock<std::timed_mutex> between(spool::MaildropDeliveryLock(path));
    // Its last delivery could not be finished nor undone yet: the file may end torn.
    if (spool::MaildropAwaitsRecovery(path)) return fail("доставка в " + path + " не завершена");
    const auto size = platform::FileSize(path);
    auto in = platform::InputFile::Open(path);
    std::optional<std::string> index;
    if (platform::FileExists(indexPath)) index = platform::ReadWholeFile(indexPath, kLargestSmallFile);
    if (!in || !size) {
      if (platform::FileExists(path)) return fail("не удалось прочитать " + path);
      return !index || !indexMember || out_.addFile(prefix + *indexMember, *index) || writeFailed();
    }
    if (attempt < kUnlockedAttempts) between.unlock();
    switch (out_.addFileFrom(prefix + *member, *in, *size)) {
      case ArchiveWriter::Copied::kWhole:
        ++figures_.mailboxes;
        return !index || !indexMember || out_.addFile(prefix + *indexMember, *index) || writeFailed();
      case ArchiveWriter::Copied::kShort:
        continue;
      case ArchiveWriter::Copied::kFailed:
        return in->failed() ? fail("не удалось прочитать " + path) : writeFailed();
    }
  }
}

bool Taker::takeProgramFiles(const BackupManifest& manifest, bool withTokens) {
  if (!out_.addFile(kManifestMember, FormatManifest(manifest))) return writeFailed();
  if (!addWhole(config::ConfigFilePath(programDir_), "quelma.cfg") || !addWhole(programDir_ + "sorter.cfg", "sorter.cfg")) {
    return false;
  }
  for (const auto& [key, member] : manifest.places) {
    if (!member.ends_with('/') && !addWhole(PathOfMember(programDir_, member), member)) return false;
  }
  for (const std::string& name : platform::ListDirectory(programDir_, "*.uidl")) {
    if (!addWhole(programDir_ + name, name, true)) return false;
  }
  if (!addWhole(programDir_ + "delivered.ids", "delivered.ids", true)) return false;
  if (withTokens && !addWhole(oauth::TokenStore(programDir_).path(), "oauth.tokens")) return false;
  if (!addUnchanging(spool::MailTxtPath(programDir_), "mail.txt")) return false;
  for (const std::string& name : platform::ListDirectory(programDir_, "*.popfile")) {
    if (!addUnchanging(programDir_ + name, name)) return false;
  }
  return true;
}

bool Taker::takeUser(const std::string& prefix, const std::string& name) {
  const std::string maildrop = config_.MailDropDir + name;
  const std::string folder = spool::UserFolderOf(maildrop);
  const std::string folderMember = prefix + name + ".folders/";
  const bool hasFolder = platform::IsDirectory(folder);
  if (hasFolder && !out_.addDirectory(folderMember.substr(0, folderMember.size() - 1))) return writeFailed();
  if (platform::FileExists(maildrop) ? !addMailbox(maildrop, prefix)
                                     : !addWhole(spool::InboxIndexPath(maildrop), folderMember + ".INBOX.index")) {
    return false;
  }
  if (!hasFolder) return true;
  for (const std::string& file : platform::ListDirectory(folder, "*")) {
    const bool dotted = file.front() == '.';
    if (EndsWith(file, ".tmp") || EndsWith(file, ".summary") || (dotted && EndsWith(file, ".index"))) continue;
    const bool taken = dotted ? addWhole(folder + file, folderMember + file) : addMailbox(folder + file, prefix);
    if (!taken) return false;
  }
  return true;
}

bool Taker::takeMaildrops(const std::string& prefix) {
  if (!out_.addDirectory(prefix.substr(0, prefix.size() - 1))) return writeFailed();
  if (!addWhole(config_.MailDropDir + "unique.ids", prefix + "unique.ids")) return false;
  std::vector<std::string> users;
  for (const std::string& file : platform::ListDirectory(config_.MailDropDir, "*")) {
    // Journals, work files and the markers of runs in progress belong to this moment alone.
    // So is the space kept for the alerts.
    if (file == "unique.ids" || EndsWith(file, ".tmp") || EndsWith(file, ".journal") || EndsWith(file, ".runs") ||
        EndsWith(file, ".reserve")) {
      continue;
    }
    users.push_back(file);
  }
  constexpr std::string_view kFolders = ".folders";
  for (const std::string& folder : platform::ListSubdirectories(config_.MailDropDir, "*.folders")) {
    const std::string user = folder.substr(0, folder.size() - kFolders.size());
    if (!platform::FileExists(config_.MailDropDir + user)) users.push_back(user);
  }
  for (const std::string& user : users) {
    if (!takeUser(prefix, user)) return false;
  }
  return true;
}

bool Taker::takeQueue(const std::string& prefix) {
  if (!out_.addDirectory(prefix.substr(0, prefix.size() - 1))) return writeFailed();
  for (const std::string& name : spool::ListQueueFiles(config_.QueueDir)) {
    if (!addUnchanging(config_.QueueDir + name, prefix + name)) return false;
  }
  // After the files: one sent meanwhile is in the archive with its mark, so never sent twice.
  for (const std::string& name : platform::ListDirectory(config_.QueueDir, "*.sent")) {
    if (!addWhole(config_.QueueDir + name, prefix + name)) return false;
  }
  return true;
}

bool Taker::takeAll(const BackupManifest& manifest, bool withTokens) {
  std::unique_lock<std::shared_mutex> noSorting(spool::DownloadedMailGate());
  return takeProgramFiles(manifest, withTokens) && takeMaildrops(manifest.places.at("MailDropDir")) &&
         takeQueue(manifest.places.at("QueueDir"));
}

}  // namespace

std::optional<std::string> ArchivePlaceProblem(const config::Configuration& config, const std::string& programDir,
                                               const std::string& archivePath) {
  if (config.MailDropDir == programDir) return "каталог почтовых ящиков совпадает с каталогом программы";
  if (config.MailDropDir.empty() || config.QueueDir.empty() || MemberInside(config.MailDropDir, archivePath) ||
      MemberInside(config.QueueDir, archivePath)) {
    return "архив нельзя класть в каталог почтовых ящиков или очереди";
  }
  return std::nullopt;
}

std::optional<BackupFigures> WriteBackup(const config::Configuration& config, const std::string& programDir,
                                         platform::OutputFile& out, const BackupOptions& options, std::string& problem) {
  problem.clear();
  if (const auto refused = ArchivePlaceProblem(config, programDir, "")) {
    problem = *refused;
    return std::nullopt;
  }
  BackupFigures figures;
  ArchiveWriter writer(out, Now());
  Taker taker(config, programDir, writer, figures, problem);
  const BackupManifest manifest = taker.plan(options.withTokens);
  if (!taker.takeAll(manifest, options.withTokens)) return std::nullopt;
  if (!writer.finish()) {
    problem = "не удалось записать архив (" + platform::LastFileErrorText() + ")";
    return std::nullopt;
  }
  figures.files = writer.files() - 1;  // the list of checksums is the archive's own
  figures.bytes = writer.written();
  return figures;
}

std::optional<BackupFigures> TakeBackup(const config::Configuration& config, const std::string& programDir,
                                        const std::string& archivePath, const BackupOptions& options,
                                        std::string& problem) {
  if (const auto refused = ArchivePlaceProblem(config, programDir, archivePath)) {
    problem = *refused;
    return std::nullopt;
  }
  const std::string part = archivePath + ".part";
  auto out = platform::OutputFile::Create(part, platform::CreateMode::kPrivate);
  if (!out) {
    problem = "не удалось создать " + part + " (" + platform::LastFileErrorText() + ")";
    return std::nullopt;
  }
  auto figures = WriteBackup(config, programDir, *out, options, problem);
  if (figures && !out->close()) {
    problem = "не удалось записать архив (" + platform::LastFileErrorText() + ")";
    figures.reset();
  }
  out.reset();
  if (figures && !platform::RenameReplacing(part, archivePath, false)) {
    problem = "не удалось переименовать " + part + " в " + archivePath + " (" + platform::LastFileErrorText() + ")";
    figures.reset();
  }
  if (!figures) platform::RemoveFile(part);
  return figures;
}

}  // namespace quelma::backup
