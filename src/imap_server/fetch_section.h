// A section of a message as FETCH BODY[...] and BINARY[...] name it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelma::imap_server {

struct SectionSpec {
  // The part numbers ("1.2.3"); empty for the message itself.
  std::vector<std::uint32_t> part;
  enum class Text {
    kAll,              // BODY[] or BODY[1.2]: the whole message, or the part's body
    kHeader,           // HEADER: the header of the message (or of the message a part holds)
    kHeaderFields,     // HEADER.FIELDS (...)
    kHeaderFieldsNot,  // HEADER.FIELDS.NOT (...)
    kText,             // TEXT: the body of the message (or of the message a part holds)
    kMime,             // MIME: a part's own header
  };
  Text text = Text::kAll;
  std::vector<std::string> fields;  // for kHeaderFields and kHeaderFieldsNot, as the client wrote them
  bool operator==(const SectionSpec&) const = default;
};

}  // namespace quelma::imap_server
