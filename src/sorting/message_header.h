// One message's header block, read once for all the rules: each field's text lower-cased, and
// where its value holds encoded-words, folded lines or 8-bit text, the value decoded to
// Windows-1251 and lower-cased too, so a rule "счёт" matches "=?UTF-8?B?0YHRh9GR0YI=?=".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelma::sorting {

class MessageHeader {
 public:
  // `block`: the header lines, CR LF or LF; it must outlive the object.
  explicit MessageHeader(std::string_view block);

  // Whether a field that begins a line with `name` (case counts; "To" also begins "To-x:")
  // holds `pattern` (lower case) in its value as written or as decoded.
  bool matches(std::string_view name, std::string_view pattern) const;

  // The values (after the colon, folded lines joined, not decoded) of the fields named
  // exactly `name`, any case, in header order.
  std::vector<std::string> values(std::string_view name) const;

  std::string_view block() const { return block_; }

 private:
  struct Field {
    std::size_t start = 0;  // in block_
    std::size_t end = 0;    // after the line end of its last line
    std::string lowered;    // block_[start, end) lower-cased
    std::string decoded;    // the value decoded and lower-cased, when that differs; else empty
  };
  std::string_view block_;
  std::vector<Field> fields_;
};

}  // namespace quelma::sorting
