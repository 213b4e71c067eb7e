// The text of a message on its way into a maildrop. A line that begins with the separator
// marker gets ">" in front, so no text can ever split its message; every other line,
// "From " lines included, is stored as it came.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace quelma::spool {

class MaildropTextWriter {
 public:
  explicit MaildropTextWriter(platform::OutputFile& out) : out_(&out) {}
  // Writes nothing and counts what it would write: the size a text takes in a maildrop.
  explicit MaildropTextWriter(std::uint64_t& counted) : counted_(&counted) {}

  // The next bytes of the text, cut anywhere. False when a write failed.
  bool write(std::string_view bytes);
  // Writes what is held back; a text that does not end with a line feed gets CR LF, so that
  // the next separator starts a line of its own. False when a write failed.
  bool finish();

 private:
  bool emit(std::string_view bytes);
  bool put(std::string_view bytes);
  platform::OutputFile* out_ = nullptr;
  std::uint64_t* counted_ = nullptr;
  std::string held_;         // the start of a line while it may still be the marker
  bool atLineStart_ = true;  // held_ is being filled
  char last_ = '\n';         // the last byte taken
  std::string buffer_;       // written in large pieces
  bool failed_ = false;
};

// The rest of `in`, from where it stands, through the writer; false when a read or a write
// failed.
bool WriteFileText(platform::InputFile& in, MaildropTextWriter& out);

}  // namespace quelma::spool
