// Fuzz target: the mailbox index reader takes any bytes, and what it reads writes back to the
// same index.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "spool/mailbox_index.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = spool::DecodeIndex(bytes);
  if (!decoded) return 0;
  const auto again = spool::DecodeIndex(spool::EncodeIndex(decoded->index));
  if (!again || !(again->index == decoded->index) || again->tornTail) __builtin_trap();
  return 0;
}
