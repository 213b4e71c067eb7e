// The archive read in order: pax headers apply to the member after them, a global one is
// passed over, and two zero blocks (or one at the very end) close it.
#include "backup/archive_reader.h"

#include <algorithm>

namespace quelma::backup {
namespace {

constexpr std::size_t kReadPiece = 1 << 20;
constexpr std::uint64_t kLargestPaxHeader = 1 << 20;

}  // namespace

bool ArchiveReader::readExactly(std::size_t count, std::string& into) {
  into.resize(count);
  std::size_t got = 0;
  while (got < count) {
    const std::size_t n = in_.read(into.data() + got, count - got);
    if (n == 0) return false;
    got += n;
  }
  return true;
}

bool ArchiveReader::skip(std::uint64_t count) {
  std::string piece;
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kReadPiece));
    if (!readExactly(n, piece)) return false;
    count -= n;
  }
  return true;
}

ArchiveReader::Next ArchiveReader::next(TarMember& member, std::string& problem) {
  if (!skip(left_ + padding_)) {
    problem = "архив обрывается внутри файла";
    return Next::kDamaged;
  }
  left_ = 0;
  padding_ = 0;
  PaxOverrides pax;
  std::string block;
  for (;;) {
    if (!readExactly(kTarBlock, block)) {
      problem = in_.failed() ? "ошибка чтения архива" : "у архива нет завершающих блоков";
      return Next::kDamaged;
    }
    DecodedHeader header = DecodeTarHeader(block);
    switch (header.kind) {
      case HeaderKind::kZeroBlock:
        // The second zero block, or the file's end right after the first.
        if (readExactly(kTarBlock, block) && DecodeTarHeader(block).kind != HeaderKind::kZeroBlock) {
          problem = "нулевой блок внутри архива";
          return Next::kDamaged;
        }
        return Next::kEnd;
      case HeaderKind::kDamaged:
        problem = "поврежден заголовок (не сходится его контрольная сумма)";
        return Next::kDamaged;
      case HeaderKind::kUnsupported:
        problem = "в архиве не файл и не каталог: " + header.member.name;
        return Next::kDamaged;
      case HeaderKind::kGlobalPax:
        if (!skip(header.member.size + TarPadding(header.member.size))) {
          problem = "архив обрывается внутри заголовка";
          return Next::kDamaged;
        }
        continue;
      case HeaderKind::kPaxHeader: {
        std::string records;
        const auto decoded = header.member.size <= kLargestPaxHeader &&
                                     readExactly(static_cast<std::size_t>(header.member.size), records) &&
                                     skip(TarPadding(header.member.size))
                                 ? DecodePaxRecords(records)
                                 : std::nullopt;
        if (!decoded) {
          problem = "поврежден заголовок pax";
          return Next::kDamaged;
        }
        if (decoded->path) pax.path = decoded->path;
        if (decoded->size) pax.size = decoded->size;
        continue;
      }
      case HeaderKind::kMember:
        member = std::move(header.member);
        if (pax.path) member.name = *pax.path;
        if (pax.size && member.type == MemberType::kFile) member.size = *pax.size;
        left_ = member.size;
        padding_ = TarPadding(member.size);
        return Next::kMember;
    }
  }
}

bool ArchiveReader::readContent(const std::function<bool(std::string_view piece)>& onPiece) {
  std::string piece;
  while (left_ > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, kReadPiece));
    if (!readExactly(n, piece)) return false;
    left_ -= n;
    if (!onPiece(piece)) return false;
  }
  return true;
}

}  // namespace quelma::backup
