// Fuzz target: Base64 decoding of any text, and encode/decode round trips of any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/base64.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string decoded = codec::Base64Decode(bytes);
  if (decoded.size() > (bytes.size() + 3) / 4 * 3) __builtin_trap();
  if (codec::Base64Decode(codec::Base64Encode(bytes)) != bytes) __builtin_trap();
  return 0;
}
