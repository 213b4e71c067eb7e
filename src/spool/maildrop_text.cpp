// Escaping the separator marker at line starts, in one pass over pieces of any size.
#include "spool/maildrop_text.h"

#include "codec/line_breaks.h"
#include "spool/maildrop.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kWriteAt = 64 * 1024;

}  // namespace

bool MaildropTextWriter::put(std::string_view bytes) {
  if (counted_) {
    *counted_ += bytes.size();
    return true;
  }
  return out_->write(bytes);
}

bool MaildropTextWriter::emit(std::string_view bytes) {
  if (buffer_.size() + bytes.size() < kWriteAt) {
    buffer_ += bytes;
    return !failed_;
  }
  // A large piece goes out after what is held, without a copy of it.
  if (!failed_) failed_ = !put(buffer_) || !put(bytes);
  buffer_.clear();
  return !failed_;
}

bool MaildropTextWriter::write(std::string_view bytes) {
  if (!bytes.empty()) last_ = bytes.back();
  while (!bytes.empty()) {
    if (atLineStart_) {
      // Take bytes while the line so far is a beginning of the marker.
      const char c = bytes.front();
      if (c != kMaildropMarker[held_.size()]) {
        emit(held_);
        held_.clear();
        atLineStart_ = false;
        continue;
      }
      held_.push_back(c);
      bytes.remove_prefix(1);
      if (held_.size() == kMaildropMarker.size()) {
        emit(">");
        emit(held_);
        held_.clear();
        atLineStart_ = false;
      }
      continue;
    }
    // Up to the next line that may begin with the marker, the bytes go as they stand.
    const std::size_t lineFeed =
        codec::NextWantedLineBreak(bytes, 0, false, codec::LineBreakNeeds{kMaildropMarker.front(), false});
    const bool lineStart = lineFeed != std::string_view::npos;
    const std::size_t end = lineStart ? lineFeed + 1 : bytes.size();
    emit(bytes.substr(0, end));
    bytes.remove_prefix(end);
    atLineStart_ = lineStart;
  }
  return !failed_;
}

bool MaildropTextWriter::finish() {
  emit(held_);
  held_.clear();
  if (last_ != '\n') emit("\r\n");
  last_ = '\n';
  if (!failed_ && !buffer_.empty()) failed_ = !put(buffer_);
  buffer_.clear();
  return !failed_;
}

bool WriteFileText(platform::InputFile& in, MaildropTextWriter& out) {
  std::string buffer(kWriteAt, '\0');
  for (;;) {
    const std::size_t n = in.read(buffer.data(), buffer.size());
    if (n == 0) return !in.failed();
    if (!out.write(std::string_view(buffer.data(), n))) return false;
  }
}

}  // namespace quelma::spool
