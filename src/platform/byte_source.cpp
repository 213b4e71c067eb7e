// A byte source over a string: what tests and fuzzers feed the file readers with.
#include "platform/byte_source.h"

namespace quelma::platform {

std::size_t StringSource::read(char* buffer, std::size_t capacity) {
  const std::size_t n = bytes_.size() < capacity ? bytes_.size() : capacity;
  bytes_.copy(buffer, n);
  bytes_.remove_prefix(n);
  return n;
}

}  // namespace quelma::platform
