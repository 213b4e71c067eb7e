// Fixed-size numbers in the store's files (the mailbox index, the summary cache): little-endian
// whatever the machine, so a file moves between platforms as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelma::spool {

template <typename T>
void PutLittleEndian(std::string& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF));
  }
}

// The number at the front of `bytes`, which must hold at least sizeof(T) of them.
template <typename T>
T GetLittleEndian(std::string_view bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  return static_cast<T>(v);
}

}  // namespace quelma::spool
