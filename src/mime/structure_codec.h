// A message's structure as bytes for the mailbox's summary cache, and back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mime/message_structure.h"

namespace quelma::mime {

std::string EncodeStructure(const MessagePart& message);
// Nothing for bytes that are not a whole structure of this format (damaged, cut short, from a
// newer program, nested or split beyond the reader's limits).
std::optional<MessagePart> DecodeStructure(std::string_view bytes);

}  // namespace quelma::mime
