// Files in the program directory: read, append, exclusive create, atomic replace, listing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_source.h"

namespace quelma::platform {

// An open file for reading; only regular files open (a directory does not).
class InputFile final : public ByteSource {
 public:
  static std::optional<InputFile> Open(const std::string& path);
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() override;

  std::size_t read(char* buffer, std::size_t capacity) override;
  bool failed() const { return failed_; }  // a read error happened (as opposed to the end)
  bool rewind();
  bool seek(std::uint64_t offset);

 private:
  explicit InputFile(std::intptr_t handle) : handle_(handle) {}
  void close();
  std::intptr_t handle_ = -1;
  bool failed_ = false;
};

enum class CreateMode {
  kTruncate,   // create or empty an existing file
  kExclusive,  // fail when the name exists already
  kAppend,     // create if missing, write at the end
  kPrivate,    // as kTruncate, readable and writable by the owner alone (0600 on POSIX)
};

// An open file for writing; every write either writes all bytes or reports failure.
class OutputFile {
 public:
  static std::optional<OutputFile> Create(const std::string& path, CreateMode mode);
  // A file another process opened and handed over (a descriptor, a handle); closed by this object.
  static OutputFile Adopt(std::intptr_t handle) { return OutputFile(handle); }
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool write(std::string_view bytes);
  bool sync();   // flush to the disk (fsync / FlushFileBuffers)
  // Starts writing what was written so far to the disk without waiting for it (Linux), so a
  // long file's last sync is short and the writes of others are not held up behind it.
  void startWriteBack();
  bool truncate(std::uint64_t size);  // the file ends at `size`; later writes go to the end
  bool close();  // false when closing reported an error

 private:
  explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;
};

enum class WriteResult {
  kWritten,
  kCannotCreate,  // the temporary file could not be created: nothing was written
  kWriteFailed,   // writing, syncing or renaming failed: the old file is untouched
  kNotDurable,    // the new content is in place, but its directory could not be synced: a
                  // crash may still bring the old content back
};

// Writes `bytes` to a temporary file beside `path`, syncs it and renames it over `path`,
// so that `path` always holds either the old or the new content. Writers of one path must
// be serialised by the caller (they share the temporary name). With `mode` kPrivate the new
// file is for its owner alone from its first byte.
WriteResult AtomicReplace(const std::string& path, std::string_view bytes, CreateMode mode = CreateMode::kTruncate);

// The whole of a file of at most `limit` bytes; nothing when it cannot be opened or read, or
// is larger.
std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t limit);

// Copies what `in` holds from its current position to its end onto `out`; false when a read
// or a write failed.
bool CopyToEnd(InputFile& in, OutputFile& out);

// Appends in one write and, when `durable`, syncs before returning.
bool AppendToFile(const std::string& path, std::string_view bytes, bool durable);

// Renames `from` to `to`, replacing `to` if it exists, and makes the new name durable. False
// when the rename failed (nothing changed) or the directory could not be synced (then `from`
// is gone and `to` holds its content, but a crash may undo that). With `keepAccess` the new
// content gets the access rights the old file had (POSIX); without it, it keeps its own.
bool RenameReplacing(const std::string& from, const std::string& to, bool keepAccess = true);

enum class OwnerOnly { kAlready, kMade, kFailed };

// Makes an existing file readable and writable by its owner alone (0600) when others (group or
// world) may read or write it. Windows: nothing to do, kAlready.
OwnerOnly MakeOwnerOnly(const std::string& path);

// Renames `from` to `to` only if no `to` exists; false (and nothing changed) otherwise, or,
// as above, when the directory could not be synced after the rename.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Names (not paths) of the regular files in `directory` that match `pattern` ('?' is one
// byte, '*' any run of bytes, everything else itself), sorted bytewise.
std::vector<std::string> ListDirectory(const std::string& directory, std::string_view pattern);

// The same for the directories in `directory` ("." and ".." left out).
std::vector<std::string> ListSubdirectories(const std::string& directory, std::string_view pattern);

bool RemoveFile(const std::string& path);
bool RemoveEmptyDirectory(const std::string& path);

// Makes a new or removed directory entry of `path` durable (POSIX fsync of the directory;
// Windows has nothing to do). False when the directory could not be synced.
bool SyncParentDirectory(const std::string& path);
bool TruncateFile(const std::string& path, std::uint64_t size);
bool FileExists(const std::string& path);  // a file or a directory
bool IsDirectory(const std::string& path);
std::optional<std::uint64_t> FileSize(const std::string& path);
// When the file was last written, in seconds since 1970 (UTC); nothing when it is not there.
std::optional<std::int64_t> FileModifiedSeconds(const std::string& path);
bool MakeDirectory(const std::string& path);  // false also when it exists already

// The system's words for the last failure of a file open, read, write, sync, close, rename,
// truncate or removal on this thread ("No space left on device", or the Windows text), for the log.
std::string LastFileErrorText();

}  // namespace quelma::platform
