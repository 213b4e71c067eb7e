// Something that hands out bytes in order: an open file, or a string in tests and fuzzers.
#pragma once

#include <cstddef>
#include <string_view>

namespace quelma::platform {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `capacity` bytes into `buffer`; 0 at the end or on a read error.
  virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string_view bytes) : bytes_(bytes) {}
  std::size_t read(char* buffer, std::size_t capacity) override;

 private:
  std::string_view bytes_;
};

}  // namespace quelma::platform
