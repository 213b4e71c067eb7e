// Writing a backup archive: members one after another into an open file, each member's CRC-32
// noted for the list of checksums that closes the archive, so that a restore can tell a
// damaged archive before it writes anything.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace quelma::backup {

// The member that closes every backup: a line "CRC32 SIZE NAME" for each file before it.
inline constexpr char kChecksumsMember[] = "quelma-backup.sums";

class ArchiveWriter {
 public:
  ArchiveWriter(platform::OutputFile& out, std::int64_t now) : out_(out), now_(now) {}

  bool addDirectory(const std::string& name);
  bool addFile(const std::string& name, std::string_view content);
  enum class Copied { kWhole, kShort, kFailed };
  // The first `size` bytes of `in`, from where it stands: kShort (and nothing of the member
  // left in the archive) when the file ended before them, kFailed when reading or writing failed.
  Copied addFileFrom(const std::string& name, platform::InputFile& in, std::uint64_t size);
  // The checksums, the end blocks, everything on disk.
  bool finish();

  std::uint64_t written() const { return offset_; }
  std::size_t files() const { return sums_.size(); }

 private:
  bool put(std::string_view bytes);
  bool flush();
  platform::OutputFile& out_;
  const std::int64_t now_;
  std::uint64_t offset_ = 0;  // bytes written to the archive, the buffer's too
  std::uint64_t writtenBack_ = 0;  // where the last write-back was started
  std::string buffer_;
  std::vector<std::string> sums_;
  bool failed_ = false;
};

// The checksum line of a member, as the list holds it.
std::string ChecksumLine(std::uint32_t crc, std::uint64_t size, std::string_view name);

// CRC-32 (zlib's) of `bytes` carried on from `crc` (0 to begin).
std::uint32_t Crc32(std::uint32_t crc, std::string_view bytes);

}  // namespace quelma::backup
