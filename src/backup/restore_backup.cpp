// A restore in two readings of the archive: the first checks every header, name and checksum
// against the list that closes it; only then does the second write, each file created new
// and synced, into a directory that had nothing in it. quelma.cfg then names the restored
// places. Whatever fails on the way, what was written goes again.
#include "backup/restore_backup.h"

#include <map>
#include <set>

#include "backup/archive_reader.h"
#include "backup/archive_writer.h"
#include "backup/backup_manifest.h"
#include "config/config_file.h"
#include "config/configuration.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace quelma::backup {
namespace {

constexpr std::size_t kLargestManifest = 1 << 20;
constexpr std::size_t kLargestChecksums = std::size_t{256} << 20;
constexpr std::size_t kMostMembers = 10'000'000;

struct CheckedArchive {
  BackupManifest manifest;
  std::map<std::string, std::string> lines;  // each file's checksum line, by name
};

std::optional<CheckedArchive> CheckArchive(const std::string& archivePath, std::string& problem) {
  auto in = platform::InputFile::Open(archivePath);
  if (!in) {
    problem = "не удалось открыть " + archivePath + " (" + platform::LastFileErrorText() + ")";
    return std::nullopt;
  }
  ArchiveReader reader(*in);
  CheckedArchive checked;
  std::string listed, closing;
  std::set<std::string> names;
  bool manifestSeen = false, closed = false;
  const auto damaged = [&problem](std::string what) {
    problem = "архив поврежден или не является резервной копией: " + what;
    return std::nullopt;
  };
  for (TarMember member;;) {
    std::string why;
    const auto next = reader.next(member, why);
    if (next == ArchiveReader::Next::kDamaged) return damaged(why);
    if (next == ArchiveReader::Next::kEnd) break;
    if (closed) return damaged("после списка контрольных сумм есть еще файлы");
    if (!SafeMemberName(member.name)) return damaged("недопустимое имя " + member.name);
    if (!names.insert(member.name).second || names.size() > kMostMembers) return damaged("повторное имя " + member.name);
    if (!manifestSeen && (member.name != kManifestMember || member.type != MemberType::kFile)) {
      return damaged("нет описания копии в начале");
    }
    if (member.type == MemberType::kDirectory) continue;
    std::uint32_t crc = 0;
    std::string text;
    const bool keep = member.name == kManifestMember || member.name == kChecksumsMember;
    if (keep && member.size > (member.name == kManifestMember ? kLargestManifest : kLargestChecksums)) {
      return damaged("слишком большой " + member.name);
    }
    const bool read = reader.readContent([&](std::string_view piece) {
      crc = Crc32(crc, piece);
      if (keep) text.append(piece);
      return true;
    });
    if (!read) return damaged(in->failed() ? "ошибка чтения" : "архив обрывается внутри " + member.name);
    if (member.name == kChecksumsMember) {
      closing = std::move(text);
      closed = true;
      continue;
    }
    if (member.name == kManifestMember) {
      const auto manifest = ParseManifest(text);
      if (!manifest) return damaged("описание копии не читается");
      checked.manifest = *manifest;
      manifestSeen = true;
    }
    const std::string line = ChecksumLine(crc, member.size, member.name);
    listed += line;
    checked.lines[member.name] = line;
  }
  if (!closed) return damaged("нет списка контрольных сумм в конце");
  if (closing != listed) return damaged("контрольные суммы не совпадают");
  if (!checked.lines.contains("quelma.cfg")) return damaged("в копии нет quelma.cfg");
  for (const char* key : {"MailDropDir", "QueueDir"}) {
    const auto place = checked.manifest.places.find(key);
    if (place == checked.manifest.places.end() || !place->second.ends_with('/') || !SafeMemberName(place->second.substr(0, place->second.size() - 1))) {
      return damaged(std::string("в описании копии нет места ") + key);
    }
  }
  return checked;
}

bool IsEmptyDirectory(const std::string& directory) {
  return platform::ListDirectory(directory, "*").empty() && platform::ListSubdirectories(directory, "*").empty();
}

// What the restore made, taken away again unless it is kept.
class Made {
 public:
  ~Made() {
    if (kept_) return;
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) platform::RemoveFile(*it);
    for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) platform::RemoveEmptyDirectory(*it);
  }
  void file(std::string path) { files_.push_back(std::move(path)); }
  void directory(std::string path) { directories_.push_back(std::move(path)); }
  const std::vector<std::string>& directories() const { return directories_; }
  void keep() { kept_ = true; }

 private:
  std::vector<std::string> files_, directories_;
  bool kept_ = false;
};

class Extractor {
 public:
  Extractor(const CheckedArchive& checked, std::string directory, Made& made, std::string& problem)
      : checked_(checked), directory_(std::move(directory)), made_(made), problem_(problem) {}
  bool run(const std::string& archivePath, RestoreFigures& figures);

 private:
  bool fail(const std::string& what) {
    problem_ = what + " (" + platform::LastFileErrorText() + ")";
    return false;
  }
  bool makeDirectories(std::string_view member);
  bool writeFile(ArchiveReader& reader, const TarMember& member);

  const CheckedArchive& checked_;
  const std::string directory_;
  Made& made_;
  std::string& problem_;
  std::set<std::string> known_;  // members' directories made (or there) already
};

// The directory of `member` and every one above it, under the restore's directory.
bool Extractor::makeDirectories(std::string_view member) {
  for (std::size_t slash = member.find('/'); slash != std::string_view::npos; slash = member.find('/', slash + 1)) {
    const std::string level(member.substr(0, slash));
    if (!known_.insert(level).second) continue;
    const std::string path = PathOfMember(directory_, level);
    if (platform::IsDirectory(path)) continue;
    if (!platform::MakeDirectory(path)) return fail("не удалось создать каталог " + path);
    made_.directory(path);
  }
  return true;
}

bool Extractor::writeFile(ArchiveReader& reader, const TarMember& member) {
  const std::string path = PathOfMember(directory_, member.name);
  auto out = platform::OutputFile::Create(path, platform::CreateMode::kExclusive);
  if (!out) return fail("не удалось создать " + path);
  made_.file(path);
  std::uint32_t crc = 0;
  bool written = true;
  const bool read = reader.readContent([&](std::string_view piece) {
    crc = Crc32(crc, piece);
    written = out->write(piece);
    return written;
  });
  if (!written || !out->sync() || !out->close()) return fail("не удалось записать " + path);
  if (!read || checked_.lines.at(member.name) != ChecksumLine(crc, member.size, member.name)) {
    problem_ = "архив изменился во время восстановления";
    return false;
  }
  return true;
}

bool Extractor::run(const std::string& archivePath, RestoreFigures& figures) {
  auto in = platform::InputFile::Open(archivePath);
  if (!in) return fail("не удалось открыть " + archivePath);
  ArchiveReader reader(*in);
  for (TarMember member;;) {
    std::string why;
    const auto next = reader.next(member, why);
    if (next == ArchiveReader::Next::kEnd) break;
    if (next == ArchiveReader::Next::kDamaged) {
      problem_ = "архив изменился во время восстановления: " + why;
      return false;
    }
    if (member.name == kManifestMember || member.name == kChecksumsMember) continue;
    const std::string levels = member.type == MemberType::kDirectory ? member.name + "/" : member.name;
    if (!makeDirectories(levels)) return false;
    if (member.type == MemberType::kDirectory) continue;
    if (!checked_.lines.contains(member.name)) {
      problem_ = "архив изменился во время восстановления";
      return false;
    }
    if (!writeFile(reader, member)) return false;
    ++figures.files;
    figures.bytes += member.size;
  }
  // The new names on disk before quelma.cfg says where they are.
  for (const std::string& dir : made_.directories()) {
    if (!platform::SyncParentDirectory(dir + platform::kPathSeparator + "x")) return fail("не удалось записать каталог " + dir);
  }
  return platform::SyncParentDirectory(directory_ + "x") || fail("не удалось записать каталог " + directory_);
}

// quelma.cfg naming the places inside the new directory, and what the user must see to.
bool PointSettingsHere(const CheckedArchive& checked, const std::string& directory, RestoreFigures& figures,
                       std::string& problem) {
  config::Configuration config = config::DefaultConfiguration(directory);
  if (config::LoadConfiguration(directory, config).status != config::LoadStatus::kLoaded) {
    problem = "не удалось прочитать восстановленный quelma.cfg";
    return false;
  }
  const std::pair<const char*, std::string*> settings[] = {
      {"MailDropDir", &config.MailDropDir}, {"QueueDir", &config.QueueDir}, {"TLS_CERT_FILE", &config.TLS_CERT_FILE},
      {"TLS_KEY_FILE", &config.TLS_KEY_FILE}, {"TLS_CA_FILE", &config.TLS_CA_FILE}};
  for (const auto& [key, value] : settings) {
    const auto place = checked.manifest.places.find(key);
    if (place != checked.manifest.places.end()) {
      if (place->second.starts_with("outside-")) {
        figures.notes.push_back(std::string(key) + " был вне каталога программы (" + *value + "), теперь " +
                                PathOfMember(directory, place->second));
      }
      *value = PathOfMember(directory, place->second);
      if (value->size() >= config::limits::kPath) {
        problem = std::string("путь ") + *value + " длиннее, чем quelma.cfg хранит (" + key + ")";
        return false;
      }
    } else if (!value->empty()) {
      figures.notes.push_back(std::string(key) + " указывает на " + *value +
                              " вне каталога программы: этого файла нет в копии, его нужно перенести отдельно");
    }
  }
  if (checked.manifest.tokens == TokensKept::kSealed) {
    figures.notes.push_back("OAuth-токены зашифрованы для пользователя Windows и компьютера, где сделана копия: "
                            "на другом компьютере нужен новый вход (oauth login)");
  }
  if (config::SaveConfiguration(directory, config) != config::SaveResult::kSaved) {
    problem = "не удалось записать quelma.cfg (" + platform::LastFileErrorText() + ")";
    return false;
  }
  return true;
}

std::string WithSeparator(std::string directory) {
  if (directory.empty()) directory = ".";
  if (directory.back() != platform::kPathSeparator && directory.back() != '/') directory.push_back(platform::kPathSeparator);
  return directory;
}

}  // namespace

bool CheckBackupArchive(const std::string& archivePath, std::string& problem) {
  return CheckArchive(archivePath, problem).has_value();
}

std::optional<RestoreFigures> RestoreBackup(const std::string& archivePath, const std::string& directoryName,
                                            std::string& problem) {
  problem.clear();
  const std::string directory = WithSeparator(directoryName);
  const bool existed = platform::FileExists(directory);
  if (existed && (!platform::IsDirectory(directory) || !IsEmptyDirectory(directory))) {
    problem = directoryName + " не пуст: восстанавливать можно только в пустой или новый каталог";
    return std::nullopt;
  }
  const auto checked = CheckArchive(archivePath, problem);
  if (!checked) return std::nullopt;
  Made made;
  if (!existed) {
    if (!platform::MakeDirectory(directory)) {
      problem = "не удалось создать каталог " + directoryName + " (" + platform::LastFileErrorText() + ")";
      return std::nullopt;
    }
    made.directory(directory);
  }
  RestoreFigures figures;
  Extractor extractor(*checked, directory, made, problem);
  if (!extractor.run(archivePath, figures)) return std::nullopt;
  // quelma.cfg is replaced through a file of its own: that one goes too should anything fail.
  made.file(config::ConfigFilePath(directory) + ".tmp");
  if (!PointSettingsHere(*checked, directory, figures, problem)) return std::nullopt;
  made.keep();
  return figures;
}

}  // namespace quelma::backup
