// Members written with their headers and padding, in large writes; a member cut short is
// taken back out by cutting the archive at its start.
#include "backup/archive_writer.h"

#include <zlib.h>

#include <cstdio>

#include "backup/tar_format.h"

namespace quelma::backup {
namespace {

constexpr std::size_t kWriteAt = 1 << 20;
constexpr std::size_t kReadPiece = 1 << 20;
// The archive goes to the disk as it grows: a gigabyte left for the last sync would hold up
// every sync of the mail that arrives meanwhile.
constexpr std::uint64_t kWriteBackEvery = 16 << 20;

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto piece = static_cast<uInt>(std::min<std::size_t>(bytes.size(), 1u << 30));
    crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), piece));
    bytes.remove_prefix(piece);
  }
  return crc;
}

std::string ChecksumLine(std::uint32_t crc, std::uint64_t size, std::string_view name) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc));
  return std::string(hex) + " " + std::to_string(size) + " " + std::string(name) + "\n";
}

bool ArchiveWriter::put(std::string_view bytes) {
  if (failed_) return false;
  buffer_.append(bytes);
  offset_ += bytes.size();
  return buffer_.size() < kWriteAt || flush();
}

bool ArchiveWriter::flush() {
  if (!failed_ && !buffer_.empty() && !out_.write(buffer_)) failed_ = true;
  buffer_.clear();
  if (!failed_ && offset_ >= writtenBack_ + kWriteBackEvery) {
    out_.startWriteBack();
    writtenBack_ = offset_;
  }
  return !failed_;
}

bool ArchiveWriter::addDirectory(const std::string& name) {
  return put(FormatTarHeader({name, MemberType::kDirectory, 0, now_}));
}

bool ArchiveWriter::addFile(const std::string& name, std::string_view content) {
  if (!put(FormatTarHeader({name, MemberType::kFile, content.size(), now_})) || !put(content) ||
      !put(std::string(TarPadding(content.size()), '\0'))) {
    return false;
  }
  sums_.push_back(ChecksumLine(Crc32(0, content), content.size(), name));
  return true;
}

ArchiveWriter::Copied ArchiveWriter::addFileFrom(const std::string& name, platform::InputFile& in, std::uint64_t size) {
  const std::uint64_t start = offset_;
  if (!put(FormatTarHeader({name, MemberType::kFile, size, now_}))) return Copied::kFailed;
  std::string piece(kReadPiece, '\0');
  std::uint32_t crc = 0;
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t got = in.read(piece.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size())));
    if (in.failed()) return Copied::kFailed;
    if (got == 0) {
      // The file was cut meanwhile: the member goes again, so the archive ends where it began.
      if (!flush() || !out_.truncate(start)) {
        failed_ = true;
        return Copied::kFailed;
      }
      offset_ = start;
      return Copied::kShort;
    }
    crc = Crc32(crc, std::string_view(piece.data(), got));
    if (!put(std::string_view(piece.data(), got))) return Copied::kFailed;
    left -= got;
  }
  if (!put(std::string(TarPadding(size), '\0'))) return Copied::kFailed;
  sums_.push_back(ChecksumLine(crc, size, name));
  return Copied::kWhole;
}

bool ArchiveWriter::finish() {
  std::string sums;
  for (const std::string& line : sums_) sums += line;
  return addFile(kChecksumsMember, sums) && put(TarEnd()) && flush() && out_.sync();
}

}  // namespace quelma::backup
