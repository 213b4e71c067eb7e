// Fuzz target: any text has a structure whose parts lie inside it and inside each other, the
// same whole or in pieces, and its byte form reads back to it; any bytes given as a byte form
// read back to the same structure or to none.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mime/message_structure.h"
#include "mime/structure_codec.h"

using namespace quelma;

namespace {

bool Inside(const mime::MessagePart& part, std::uint64_t from, std::uint64_t to) {
  if (part.headerOffset < from || part.headerOffset > part.bodyOffset || part.bodyOffset > part.bodyEnd ||
      part.bodyEnd > to) {
    return false;
  }
  for (const mime::MessagePart& child : part.parts) {
    if (!Inside(child, part.bodyOffset, part.bodyEnd)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 17;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const mime::MessagePart whole = mime::ReadStructure(text);
  mime::StructureReader reader;
  for (std::size_t at = 0; at < text.size(); at += piece) reader.feed(text.substr(at, piece));
  if (!(reader.finish() == whole) || !Inside(whole, 0, text.size())) __builtin_trap();
  const auto again = mime::DecodeStructure(mime::EncodeStructure(whole));
  if (!again || !(*again == whole)) __builtin_trap();
  if (const auto decoded = mime::DecodeStructure(text)) {
    const auto twice = mime::DecodeStructure(mime::EncodeStructure(*decoded));
    if (!twice || !(*twice == *decoded)) __builtin_trap();
  }
  return 0;
}
