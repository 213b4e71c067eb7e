// RFC 2045 tokens, quoted strings and (nested) comments, for the MIME fields a message's
// structure is read from.
#include "mime/content_fields.h"

#include "platform/text.h"

namespace quelma::mime {
namespace {

constexpr std::size_t kMaxParameters = 64;

bool IsTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7F) return false;
  return std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  // White space and comments; a comment left open runs to the end.
  void skipSpace() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++at_;
      } else if (c == '(') {
        skipComment();
      } else {
        return;
      }
    }
  }

  std::string token() {
    skipSpace();
    const std::size_t start = at_;
    while (at_ < text_.size() && IsTokenChar(text_[at_])) ++at_;
    return std::string(text_.substr(start, at_ - start));
  }

  // A quoted string without its quotes and escapes; one left open runs to the end.
  std::string quoted() {
    std::string out;
    ++at_;  // the opening quote
    while (at_ < text_.size() && text_[at_] != '"') {
      if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
      if (text_[at_] != '\r' && text_[at_] != '\n') out.push_back(text_[at_]);
      ++at_;
    }
    if (at_ < text_.size()) ++at_;
    return out;
  }

  bool take(char c) {
    skipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  bool atEnd() {
    skipSpace();
    return at_ >= text_.size();
  }

  bool atQuote() {
    skipSpace();
    return at_ < text_.size() && text_[at_] == '"';
  }

  // Up to the next `c` outside quotes (not taken), or the end.
  void skipTo(char c) {
    while (at_ < text_.size() && text_[at_] != c) {
      if (text_[at_] == '"') {
        quoted();
      } else {
        ++at_;
      }
    }
  }

 private:
  void skipComment() {
    int depth = 0;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '\\' && at_ < text_.size()) {
        ++at_;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        return;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

std::vector<MimeParameter> Parameters(Scanner& scan) {
  std::vector<MimeParameter> out;
  while (!scan.atEnd() && out.size() < kMaxParameters) {
    if (!scan.take(';')) {
      scan.skipTo(';');  // text that is no parameter
      continue;
    }
    MimeParameter p;
    p.name = scan.token();
    bool read = !p.name.empty() && scan.take('=');
    if (read && scan.atQuote()) {
      p.value = scan.quoted();
    } else if (read) {
      p.value = scan.token();
      read = !p.value.empty();
    }
    if (read) {
      out.push_back(std::move(p));
    } else {
      scan.skipTo(';');
    }
  }
  return out;
}

}  // namespace

std::optional<ContentValue> ParseContentType(std::string_view value) {
  Scanner scan(value);
  ContentValue out;
  out.type = scan.token();
  if (out.type.empty() || !scan.take('/')) return std::nullopt;
  out.subtype = scan.token();
  if (out.subtype.empty()) return std::nullopt;
  out.parameters = Parameters(scan);
  return out;
}

std::optional<ContentValue> ParseDisposition(std::string_view value) {
  Scanner scan(value);
  ContentValue out;
  out.type = scan.token();
  if (out.type.empty()) return std::nullopt;
  out.parameters = Parameters(scan);
  return out;
}

std::string Unfold(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  const std::size_t first = out.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::size_t last = out.find_last_not_of(" \t");
  return out.substr(first, last - first + 1);
}

std::optional<std::string> Parameter(const std::vector<MimeParameter>& parameters, std::string_view name) {
  for (const MimeParameter& p : parameters) {
    if (platform::EqualsIgnoreAsciiCase(p.name, name)) return p.value;
  }
  return std::nullopt;
}

}  // namespace quelma::mime
