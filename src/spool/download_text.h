// Reading messages back out of a download file, where each is in transfer form up to its end
// line: the text comes out with dot-stuffing undone and every line ending in CR LF.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/byte_source.h"

namespace quelma::spool {

class DownloadedText {
 public:
  // Takes the next bytes of a message's text; false stops the reading (a failed write).
  using Take = std::function<bool(std::string_view)>;
  enum class Next { kMessage, kEnd, kFailed };

  static constexpr std::size_t kMaxHeader = 1 << 20;  // more header than this is not kept

  // Reads `source` from where it stands; `offset` is the source's position there.
  explicit DownloadedText(platform::ByteSource& source, std::uint64_t offset = 0)
      : source_(source), offset_(offset) {}

  // The next message's text through `take` (nothing: only read), up to and without its end
  // line. A last message without its end line (a download cut short) counts as whole.
  // kFailed when `take` refused.
  Next next(const Take& take);
  // True when no message is left.
  bool atEnd();
  // The source's position after what has been read: where the next message begins.
  std::uint64_t offset() const { return offset_ - (end_ - begin_); }
  // The header lines of the message last read, up to kMaxHeader bytes.
  const std::string& header() const { return header_; }

 private:
  bool fill(std::size_t want);
  platform::ByteSource& source_;
  std::uint64_t offset_;  // of the byte after the last one read from the source
  std::array<char, 64 * 1024> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool exhausted_ = false;
  std::string header_;
};

}  // namespace quelma::spool
