// Win32 files through the ANSI (Windows-1251) functions: CreateFileA, MoveFileExA, FindFirstFileA.
#include <windows.h>

#include <algorithm>

#include "platform/file_faults.h"
#include "platform/files.h"
#include "platform/path_match.h"


namespace quelma::platform {
namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t I(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
constexpr std::intptr_t kNone = -1;  // INVALID_HANDLE_VALUE

thread_local DWORD lastFileError = 0;

// Records the reason of a failure for LastFileErrorText; returns false.
bool Failed() {
  lastFileError = GetLastError();
  return false;
}

// A step the fault seam chose to fail: an I/O error, as a failing disk gives.
bool Injected(FileStep step) {
  if (!InjectedFileFault(step)) return false;
  SetLastError(ERROR_IO_DEVICE);
  return !Failed();
}

std::optional<WIN32_FILE_ATTRIBUTE_DATA> Attributes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return data;
}

}  // namespace

std::optional<InputFile> InputFile::Open(const std::string& path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open, which is what we want.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Failed();
    return std::nullopt;
  }
  return InputFile(I(h));
}

void InputFile::close() {
  if (handle_ != kNone) CloseHandle(H(handle_));
  handle_ = kNone;
}

std::size_t InputFile::read(char* buffer, std::size_t capacity) {
  if (handle_ == kNone || failed_) return 0;
  const DWORD want = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!ReadFile(H(handle_), buffer, want, &got, nullptr)) {
    Failed();
    failed_ = true;
    return 0;
  }
  return got;
}

bool InputFile::rewind() {
  failed_ = false;
  return handle_ != kNone && SetFilePointer(H(handle_), 0, nullptr, FILE_BEGIN) == 0;
}

bool InputFile::seek(std::uint64_t offset) {
  failed_ = false;
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(offset);
  return handle_ != kNone && SetFilePointerEx(H(handle_), to, nullptr, FILE_BEGIN);
}

std::optional<OutputFile> OutputFile::Create(const std::string& path, CreateMode mode) {
  if (Injected(FileStep::kCreate)) return std::nullopt;
  DWORD access = GENERIC_WRITE;
  DWORD disposition = CREATE_ALWAYS;
  switch (mode) {
    case CreateMode::kTruncate:
    case CreateMode::kPrivate: disposition = CREATE_ALWAYS; break;  // secrets are sealed for the user
    case CreateMode::kExclusive: disposition = CREATE_NEW; break;
    case CreateMode::kAppend:
      access = FILE_APPEND_DATA;
      disposition = OPEN_ALWAYS;
      break;
  }
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Failed();
    return std::nullopt;
  }
  return OutputFile(I(h));
}

bool OutputFile::write(std::string_view bytes) {
  if (handle_ == kNone || Injected(FileStep::kWrite)) return false;
  while (!bytes.empty()) {
    const DWORD want = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
    DWORD done = 0;
    if (!WriteFile(H(handle_), bytes.data(), want, &done, nullptr) || done == 0) return Failed();
    bytes.remove_prefix(done);
  }
  return true;
}

bool OutputFile::sync() {
  return handle_ != kNone && !Injected(FileStep::kSync) && (FlushFileBuffers(H(handle_)) || Failed());
}

void OutputFile::startWriteBack() {}

bool OutputFile::truncate(std::uint64_t size) {
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(size);
  LARGE_INTEGER end{};
  return handle_ != kNone && !Injected(FileStep::kTruncate) &&
         ((SetFilePointerEx(H(handle_), to, nullptr, FILE_BEGIN) && SetEndOfFile(H(handle_)) &&
           SetFilePointerEx(H(handle_), LARGE_INTEGER{}, &end, FILE_END)) ||
          Failed());
}

bool OutputFile::close() {
  if (handle_ == kNone) return true;
  const BOOL ok = CloseHandle(H(handle_));
  handle_ = kNone;
  return ok != 0;
}

// The new file's security comes from its folder, as every file the program makes there.
bool RenameReplacing(const std::string& from, const std::string& to, bool) {
  if (Injected(FileStep::kRename)) return false;
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 || Failed();
}

OwnerOnly MakeOwnerOnly(const std::string&) { return OwnerOnly::kAlready; }

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (Injected(FileStep::kRename)) return false;
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0 || Failed();
}

namespace {

// Windows wildcards also match 8.3 short names and treat "?" loosely: list everything and
// match here, so both platforms agree on what a pattern means.
std::vector<std::string> ListEntries(const std::string& directory, std::string_view pattern, bool directories) {
  std::vector<std::string> names;
  std::string base = directory.empty() ? std::string(".\\") : directory;
  if (base.back() != '\\' && base.back() != '/') base.push_back('\\');
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((base + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != directories) continue;
    const std::string name = data.cFileName;
    if (name != "." && name != ".." && MatchesPattern(name, pattern)) names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
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

bool RemoveEmptyDirectory(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0 || Failed(); }

// MoveFileExA with MOVEFILE_WRITE_THROUGH has flushed the entry already.
bool SyncParentDirectory(const std::string&) { return !Injected(FileStep::kSyncDirectory); }

bool RemoveFile(const std::string& path) {
  return !Injected(FileStep::kRemove) && (DeleteFileA(path.c_str()) != 0 || Failed());
}

bool TruncateFile(const std::string& path, std::uint64_t size) {
  if (Injected(FileStep::kTruncate)) return false;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed();
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = (SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && SetEndOfFile(h)) || Failed();
  CloseHandle(h);
  return ok;
}

bool FileExists(const std::string& path) { return Attributes(path).has_value(); }

bool IsDirectory(const std::string& path) {
  const auto a = Attributes(path);
  return a && (a->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::int64_t> FileModifiedSeconds(const std::string& path) {
  const auto a = Attributes(path);
  if (!a || (a->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  // 100-nanosecond steps since 1601.
  const std::uint64_t steps = (static_cast<std::uint64_t>(a->ftLastWriteTime.dwHighDateTime) << 32) |
                              a->ftLastWriteTime.dwLowDateTime;
  return static_cast<std::int64_t>(steps / 10000000ULL) - 11644473600LL;
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
  const auto a = Attributes(path);
  if (!a || (a->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  return (static_cast<std::uint64_t>(a->nFileSizeHigh) << 32) | a->nFileSizeLow;
}

bool MakeDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

std::string LastFileErrorText() {
  std::string text(512, '\0');
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, lastFileError, 0,
                                 text.data(), static_cast<DWORD>(text.size()), nullptr);
  text.resize(n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
  return text.empty() ? "error " + std::to_string(lastFileError) : text;
}

}  // namespace quelma::platform
