// Bounded line reading from a byte source: a line longer than the cap arrives in pieces.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "platform/byte_source.h"

namespace quelma::platform {

class LineReader {
 public:
  // Each piece holds at most `cap` bytes and ends after the first LF, at the cap, or at
  // the end of the source, as the C library's fgets with a buffer of cap + 1 bytes does.
  LineReader(ByteSource& source, std::size_t cap) : source_(source), cap_(cap) {}

  // False at the end of the source; otherwise `piece` holds the next piece (never empty).
  bool next(std::string& piece);

 private:
  bool fill();
  ByteSource& source_;
  std::size_t cap_;
  std::array<char, 8192> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool exhausted_ = false;
};

// True when the piece ends with CR LF.
bool EndsWithCrLf(const std::string& piece);

}  // namespace quelma::platform
