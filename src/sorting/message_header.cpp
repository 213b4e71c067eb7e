// Splitting a header block into fields and matching rule patterns against them.
#include "sorting/message_header.h"

#include "codec/encoded_words.h"
#include "platform/text.h"

namespace quelma::sorting {
namespace {

// Only a value with something to decode or join is decoded: the common plain field costs nothing more.
bool NeedsDecoding(std::string_view value) {
  if (value.find("=?") != std::string_view::npos) return true;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) return true;
    if (c == '\n' && i + 1 < value.size() && (value[i + 1] == ' ' || value[i + 1] == '\t')) return true;
  }
  return false;
}

}  // namespace

MessageHeader::MessageHeader(std::string_view block) : block_(block) {
  for (std::size_t at = 0; at < block_.size();) {
    Field field;
    field.start = at;
    std::size_t end = at;
    // A field runs over every following line that begins with a blank or TAB.
    for (;;) {
      end = block_.find('\n', end);
      if (end == std::string_view::npos) {
        end = block_.size();
        break;
      }
      ++end;
      if (end >= block_.size() || (block_[end] != ' ' && block_[end] != '\t')) break;
    }
    field.end = end;
    const std::string_view text = block_.substr(at, end - at);
    field.lowered = platform::ToLowerCp1251(text);
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos && NeedsDecoding(text.substr(colon + 1))) {
      field.decoded = platform::ToLowerCp1251(codec::DecodeHeaderValue(text.substr(colon + 1)));
    }
    fields_.push_back(std::move(field));
    at = end;
  }
}

bool MessageHeader::matches(std::string_view name, std::string_view pattern) const {
  if (name.empty() || pattern.empty()) return false;
  for (const Field& field : fields_) {
    if (field.end - field.start < name.size() || block_.compare(field.start, name.size(), name) != 0) continue;
    // The value as written runs from just behind the name, so the colon belongs to it.
    if (field.lowered.find(pattern, name.size()) != std::string::npos) return true;
    if (!field.decoded.empty() && field.decoded.find(pattern) != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> MessageHeader::values(std::string_view name) const {
  std::vector<std::string> out;
  for (const Field& field : fields_) {
    const std::string_view text = block_.substr(field.start, field.end - field.start);
    if (text.size() <= name.size() || text[name.size()] != ':' || !platform::StartsWithIgnoreAsciiCase(text, name)) {
      continue;
    }
    std::string value;
    for (const char c : text.substr(name.size() + 1)) {
      if (c != '\r' && c != '\n') value.push_back(c);
    }
    out.push_back(std::move(value));
  }
  return out;
}

}  // namespace quelma::sorting
