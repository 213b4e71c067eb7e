// Fuzz target: modified UTF-7 decoding of any text; a text that decodes is canonical, so it
// encodes back to itself.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/modified_utf7.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto utf8 = codec::ModifiedUtf7Decode(text)) {
    if (codec::ModifiedUtf7Encode(*utf8) != std::string(text)) __builtin_trap();
  }
  if (const auto wire = codec::ModifiedUtf7Encode(text)) {
    if (codec::ModifiedUtf7Decode(*wire) != std::string(text)) __builtin_trap();
  }
  return 0;
}
