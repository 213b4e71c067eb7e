// POSIX files: open/read/write with every short write and EINTR handled, fsync, rename.
#include <dirent.h>
#include <stdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file_faults.h"
#include "platform/files.h"
#include "platform/path_match.h"

namespace quelma::platform {
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

thread_local int lastFileError = 0;

// Records the reason of a failure for LastFileErrorText; returns false.
bool Failed(int error = errno) {
  lastFileError = error;
  return false;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A step the fault seam chose to fail: an I/O error, as a failing disk gives.
bool Injected(FileStep step) { return InjectedFileFault(step) && !Failed(EIO); }

// A rename or a new name is durable only once the directory entry itself is on disk.
bool SyncDirectoryOf(const std::string& path) {
  if (Injected(FileStep::kSyncDirectory)) return false;
  const int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Failed();
  const bool synced = ::fsync(fd) == 0 || Failed();
  ::close(fd);
  return synced;
}

}  // namespace

std::optional<InputFile> InputFile::Open(const std::string& path) {
  // Non-blocking, so that a FIFO in a file's place cannot hang the open; reads block again.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    Failed();
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return InputFile(fd);
}

void InputFile::close() {
  if (handle_ >= 0) ::close(Fd(handle_));
  handle_ = -1;
}

std::size_t InputFile::read(char* buffer, std::size_t capacity) {
  if (handle_ < 0 || failed_) return 0;
  for (;;) {
    const ssize_t n = ::read(Fd(handle_), buffer, capacity);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    Failed();
    failed_ = true;
    return 0;
  }
}

bool InputFile::rewind() {
  failed_ = false;
  return handle_ >= 0 && ::lseek(Fd(handle_), 0, SEEK_SET) == 0;
}

bool InputFile::seek(std::uint64_t offset) {
  failed_ = false;
  return handle_ >= 0 && ::lseek(Fd(handle_), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::optional<OutputFile> OutputFile::Create(const std::string& path, CreateMode mode) {
  if (Injected(FileStep::kCreate)) return std::nullopt;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  switch (mode) {
    case CreateMode::kTruncate: flags |= O_TRUNC; break;
    case CreateMode::kExclusive: flags |= O_EXCL; break;
    case CreateMode::kAppend: flags |= O_APPEND; break;
    case CreateMode::kPrivate: flags |= O_TRUNC; break;
  }
  const int fd = ::open(path.c_str(), flags, mode == CreateMode::kPrivate ? 0600 : 0644);
  if (fd < 0) {
    Failed();
    return std::nullopt;
  }
  // A file that existed keeps its mode through open(): a private one is made so here.
  if (mode == CreateMode::kPrivate && ::fchmod(fd, 0600) != 0) {
    const int error = errno;
    ::close(fd);
    Failed(error);
    return std::nullopt;
  }
  return OutputFile(fd);
}

bool OutputFile::write(std::string_view bytes) {
  if (handle_ < 0 || Injected(FileStep::kWrite)) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(Fd(handle_), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Failed(n == 0 ? ENOSPC : errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool OutputFile::sync() {
  return handle_ >= 0 && !Injected(FileStep::kSync) && (::fsync(Fd(handle_)) == 0 || Failed());
}

void OutputFile::startWriteBack() {
#ifdef __linux__
  if (handle_ >= 0) ::sync_file_range(Fd(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool OutputFile::truncate(std::uint64_t size) {
  return handle_ >= 0 && !Injected(FileStep::kTruncate) &&
         ((::ftruncate(Fd(handle_), static_cast<off_t>(size)) == 0 && ::lseek(Fd(handle_), 0, SEEK_END) >= 0) ||
          Failed());
}

bool OutputFile::close() {
  if (handle_ < 0) return true;
  const int rc = ::close(Fd(handle_));
  handle_ = -1;
  return rc == 0 || Failed();
}

bool RenameReplacing(const std::string& from, const std::string& to, bool keepAccess) {
  if (Injected(FileStep::kRename)) return false;
  // The new content keeps the access rights the old file had (a maildrop the administrator
  // opened to a group stays so); a private file keeps its own 0600 whatever the old one had.
  struct stat old {};
  if (keepAccess && ::stat(to.c_str(), &old) == 0) ::chmod(from.c_str(), old.st_mode & 07777);
  if (::rename(from.c_str(), to.c_str()) != 0) return Failed();
  return SyncDirectoryOf(to);
}

OwnerOnly MakeOwnerOnly(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return OwnerOnly::kFailed;
  if ((st.st_mode & 077) == 0) return OwnerOnly::kAlready;
  return ::chmod(path.c_str(), 0600) == 0 ? OwnerOnly::kMade : OwnerOnly::kFailed;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (Injected(FileStep::kRename)) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return SyncDirectoryOf(to);
  if (errno != EINVAL && errno != ENOSYS) return Failed();
  // A file system without the flag: a hard link is just as exclusive. Both names never stay.
  if (::link(from.c_str(), to.c_str()) != 0) return Failed();
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return Failed(error);
  }
  return SyncDirectoryOf(to);
}

namespace {

std::vector<std::string> ListEntries(const std::string& directory, std::string_view pattern, bool directories) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return names;
  std::string base = directory;
  if (!base.empty() && base.back() != '/') base.push_back('/');
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!MatchesPattern(name, pattern)) continue;
    struct stat st {};
    if (name == "." || name == ".." || ::stat((base + name).c_str(), &st) != 0) continue;
    if (directories ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> ListDirectory(const std::string& directory, std::string_view pattern) {
  return ListEntries(directory, pattern, false);
}

std::vector<std::string> ListSubdirectories(const std::string& directory, std::string_view pattern) {
  return ListEntries(directory, pattern, true);
}

bool RemoveEmptyDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0 || Failed(); }

bool SyncParentDirectory(const std::string& path) { return SyncDirectoryOf(path); }

bool RemoveFile(const std::string& path) {
  return !Injected(FileStep::kRemove) && (::unlink(path.c_str()) == 0 || Failed());
}

bool TruncateFile(const std::string& path, std::uint64_t size) {
  return !Injected(FileStep::kTruncate) && (::truncate(path.c_str(), static_cast<off_t>(size)) == 0 || Failed());
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::int64_t> FileModifiedSeconds(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::int64_t>(st.st_mtime);
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

std::string LastFileErrorText() {
  char text[256] = {};
  return ::strerror_r(lastFileError, text, sizeof text);
}

}  // namespace quelma::platform
