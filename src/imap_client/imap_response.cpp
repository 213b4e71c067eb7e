// Reading responses line by line with their literals, and the small parser of their values.
#include "imap_client/imap_response.h"

#include <algorithm>

#include "platform/text.h"

namespace quelma::imap_client {
namespace {

// The size of a "{N}" or "{N+}" that ends `line` (its CR LF taken off); nothing when none does.
std::optional<std::uint64_t> LiteralAtEnd(std::string_view line, std::size_t& openAt) {
  if (line.empty() || line.back() != '}') return std::nullopt;
  openAt = line.rfind('{');
  if (openAt == std::string_view::npos) return std::nullopt;
  std::string_view digits = line.substr(openAt + 1, line.size() - openAt - 2);
  if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
  return Number64(digits);
}

class ValueParser {
 public:
  ValueParser(const ImapResponse& r, std::size_t at) : r_(r), at_(at) {}

  std::optional<std::vector<ImapValue>> all() {
    std::vector<ImapValue> values;
    if (!sequence(values, '\0', 0)) return std::nullopt;
    return values;
  }

 private:
  bool sequence(std::vector<ImapValue>& values, char close, int depth) {
    if (depth > 64) return false;
    while (true) {
      while (at_ < r_.text.size() && r_.text[at_] == ' ') ++at_;
      if (at_ >= r_.text.size()) return close == '\0';
      const char c = r_.text[at_];
      if (c == ')' || c == ']') {
        if (c != close) return false;
        ++at_;
        return true;
      }
      ImapValue value;
      if (!one(value, depth)) return false;
      values.push_back(std::move(value));
    }
  }

  bool one(ImapValue& value, int depth) {
    const char c = r_.text[at_];
    if (c == '(') {
      ++at_;
      value.kind = ImapValue::Kind::kList;
      return sequence(value.items, ')', depth + 1);
    }
    if (c == '"') return quoted(value);
    if (c == '{') return literal(value);
    // An atom runs to a blank, a list's end or a bracket; "BODY[HEADER.FIELDS (A B)]" keeps
    // its section as one atom, lists inside brackets included.
    const std::size_t start = at_;
    int brackets = 0;
    while (at_ < r_.text.size()) {
      const char d = r_.text[at_];
      if (d == '[') ++brackets;
      if (d == ']' && brackets > 0) --brackets;
      else if (brackets == 0 && (d == ' ' || d == ')' || d == '(' || d == ']')) break;
      ++at_;
    }
    if (at_ == start) return false;
    value.text = r_.text.substr(start, at_ - start);
    value.kind = platform::ToUpperAscii(value.text) == "NIL" ? ImapValue::Kind::kNil : ImapValue::Kind::kAtom;
    return true;
  }

  bool quoted(ImapValue& value) {
    value.kind = ImapValue::Kind::kString;
    for (++at_; at_ < r_.text.size(); ++at_) {
      char d = r_.text[at_];
      if (d == '"') {
        ++at_;
        return true;
      }
      if (d == '\\' && at_ + 1 < r_.text.size()) d = r_.text[++at_];
      value.text += d;
    }
    return false;
  }

  bool literal(ImapValue& value) {
    const auto found = std::find(r_.literalAt.begin(), r_.literalAt.end(), at_);
    if (found == r_.literalAt.end()) return false;
    const auto index = static_cast<std::size_t>(found - r_.literalAt.begin());
    value.kind = ImapValue::Kind::kString;
    value.text = r_.literals[index];
    value.streamed = r_.streamed[index];
    at_ = r_.text.find('}', at_) + 1;
    return true;
  }

  const ImapResponse& r_;
  std::size_t at_;
};

}  // namespace

std::optional<std::uint32_t> Number32(std::string_view text) {
  const auto n = Number64(text);
  if (!n || *n > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

std::optional<std::uint64_t> Number64(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

std::string ImapResponse::status() const {
  const std::string word = platform::ToUpperAscii(text.substr(0, text.find(' ')));
  for (const char* known : {"OK", "NO", "BAD", "BYE", "PREAUTH"}) {
    if (word == known) return word;
  }
  return {};
}

std::string ImapResponse::code() const {
  const std::size_t blank = text.find(' ');
  if (blank == std::string::npos || blank + 1 >= text.size() || text[blank + 1] != '[') return {};
  const std::size_t close = text.find(']', blank);
  return close == std::string::npos ? std::string() : text.substr(blank + 2, close - blank - 2);
}

ResponseReader::Status ResponseReader::readLiteral(std::uint64_t size, LiteralSink* sink, std::string& kept) {
  while (size > 0) {
    std::string_view bytes;
    if (!lines_->peek(bytes)) return Status::kCut;
    bytes = bytes.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size())));
    lines_->consume(bytes.size());
    if (sink) {
      if (!(*sink)(bytes)) return Status::kSinkFailed;
    } else {
      kept.append(bytes);
    }
    size -= bytes.size();
  }
  return Status::kResponse;
}

ResponseReader::Status ResponseReader::next(ImapResponse& response, const ChooseSink& choose) {
  response = ImapResponse{};
  std::string line;
  bool first = true;
  while (true) {
    switch (lines_->readLine(line, kMaxLine + 1)) {
      case net::LineReceiver::Status::kLine: break;
      case net::LineReceiver::Status::kNothing: return first ? Status::kNothing : Status::kCut;
      case net::LineReceiver::Status::kCut: return Status::kCut;
    }
    if (line.size() > kMaxLine) return Status::kTooLarge;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (first) {
      const std::size_t blank = line.find(' ');
      response.tag = line.substr(0, blank);
      line = blank == std::string::npos ? std::string() : line.substr(blank + 1);
      first = false;
    }
    std::size_t openAt = 0;
    const auto size = LiteralAtEnd(line, openAt);
    if (response.text.size() + line.size() > kMaxText) return Status::kTooLarge;
    if (size) openAt += response.text.size();
    response.text += line;
    if (!size) return Status::kResponse;
    LiteralSink* sink = choose ? choose(response.text, *size) : nullptr;
    if (!sink && *size > kMaxKeptLiteral) return Status::kTooLarge;
    std::string kept;
    if (const Status s = readLiteral(*size, sink, kept); s != Status::kResponse) return s;
    if (response.text.size() + kept.size() > kMaxText) return Status::kTooLarge;
    response.literalAt.push_back(openAt);
    response.literals.push_back(std::move(kept));
    response.streamed.push_back(sink != nullptr);
  }
}

std::optional<std::vector<ImapValue>> ParseValues(const ImapResponse& response, std::size_t offset) {
  return ValueParser(response, offset).all();
}

const ImapValue* FetchAttributes::find(std::string_view name) const {
  for (const auto& [key, value] : items) {
    if (key == name) return value;
  }
  return nullptr;
}

FetchAttributes FetchAttributesOf(const ImapValue& list) {
  FetchAttributes attributes;
  for (std::size_t i = 0; i + 1 < list.items.size(); i += 2) {
    attributes.items.emplace_back(platform::ToUpperAscii(list.items[i].text), &list.items[i + 1]);
  }
  return attributes;
}

std::string QuotedOrLiteral(std::string_view text, bool nonSync) {
  const bool literal = std::any_of(text.begin(), text.end(), [](char c) {
    return c == '\r' || c == '\n' || c == '\0' || static_cast<unsigned char>(c) >= 0x80;
  });
  if (literal) return "{" + std::to_string(text.size()) + (nonSync ? "+" : "") + "}\r\n" + std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace quelma::imap_client
