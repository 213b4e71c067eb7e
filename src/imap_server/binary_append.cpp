// Base64 for the parts of an appended message that hold NUL bytes.
#include "imap_server/binary_append.h"

#include <vector>

#include "codec/base64.h"
#include "mime/message_structure.h"
#include "platform/text.h"

namespace quelma::imap_server {
namespace {

constexpr std::size_t kLine = 76;

void LeavesWithNul(const mime::MessagePart& part, std::string_view text, std::vector<const mime::MessagePart*>& out) {
  if (!part.parts.empty()) {
    for (const mime::MessagePart& child : part.parts) LeavesWithNul(child, text, out);
    return;
  }
  const std::string_view body = text.substr(part.bodyOffset, part.bodyEnd - part.bodyOffset);
  if (body.find('\0') != std::string_view::npos) out.push_back(&part);
}

// The header without its Content-Transfer-Encoding field (folded lines included), and the
// field for base64 before its empty line.
std::string Base64Header(std::string_view header) {
  std::string out;
  bool dropping = false;
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find('\n', at);
    end = end == std::string_view::npos ? header.size() : end + 1;
    const std::string_view line = header.substr(at, end - at);
    at = end;
    const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!folded) dropping = platform::StartsWithIgnoreAsciiCase(line, "Content-Transfer-Encoding:");
    if (line == "\r\n" || line == "\n") {
      out += "Content-Transfer-Encoding: base64\r\n";
      out += line;
      continue;
    }
    if (!dropping) out += line;
  }
  return out;
}

std::string Base64Lines(std::string_view body) {
  const std::string encoded = codec::Base64Encode(body);
  std::string out;
  for (std::size_t at = 0; at < encoded.size(); at += kLine) out += encoded.substr(at, kLine) + "\r\n";
  return out;
}

}  // namespace

std::string WithoutNulBodies(std::string_view message) {
  if (message.find('\0') == std::string_view::npos) return std::string(message);
  const mime::MessagePart root = mime::ReadStructure(message);
  std::vector<const mime::MessagePart*> leaves;
  LeavesWithNul(root, message, leaves);
  std::string out;
  std::size_t copied = 0;
  for (const mime::MessagePart* part : leaves) {  // in text order
    out += message.substr(copied, part->headerOffset - copied);
    out += Base64Header(message.substr(part->headerOffset, part->bodyOffset - part->headerOffset));
    out += Base64Lines(message.substr(part->bodyOffset, part->bodyEnd - part->bodyOffset));
    // The line break before the next boundary stays the boundary's.
    copied = part->bodyEnd;
    if (message.substr(copied, 2) == "\r\n") copied += 2;
    else if (message.substr(copied, 1) == "\n") copied += 1;
  }
  out += message.substr(copied);
  return out;
}

}  // namespace quelma::imap_server
