// Reading a backup archive member by member: each header checked, pax records applied,
// contents handed out in pieces and the padding passed over.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "backup/tar_format.h"
#include "platform/files.h"

namespace quelma::backup {

class ArchiveReader {
 public:
  explicit ArchiveReader(platform::InputFile& in) : in_(in) {}

  enum class Next { kMember, kEnd, kDamaged };
  // The next file or directory; kDamaged with the reason in `problem`. The content of the
  // member before, when not read, is passed over.
  Next next(TarMember& member, std::string& problem);
  // The current member's content, in pieces; false when the archive ends before it does, a
  // read fails, or `onPiece` says stop.
  bool readContent(const std::function<bool(std::string_view piece)>& onPiece);

 private:
  bool readExactly(std::size_t count, std::string& into);
  bool skip(std::uint64_t count);
  platform::InputFile& in_;
  std::uint64_t left_ = 0;     // content of the current member not yet read
  std::size_t padding_ = 0;    // after it
};

}  // namespace quelma::backup
