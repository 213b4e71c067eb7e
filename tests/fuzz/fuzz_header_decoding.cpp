// Fuzz target: any bytes as a header value, and as text in each charset. What the sorter compares
// never holds a line end, is never longer than the value (every character, escape, Base64 quantum
// or bad sequence gives at most as many bytes as it took), and plain ASCII without a "=" comes
// back unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/encoded_words.h"
#include "platform/charset.h"

using namespace quelma;

namespace {

// A fuzzer rarely spells a charset name: "=?" and a digit stand for "=?" and one of these.
constexpr const char* kCharsets[] = {"utf-8",      "KOI8-R",   "koi8-u",  "windows-1251", "iso-8859-5",
                                     "us-ascii",   "latin1",   "cp1252",  "IBM866",       "x-unknown"};

std::string WithCharsetNames(std::string_view bytes) {
  std::string value;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    value.push_back(bytes[at]);
    if (bytes[at] == '?' && at > 0 && bytes[at - 1] == '=' && at + 1 < bytes.size() && bytes[at + 1] >= '0' &&
        bytes[at + 1] <= '9') {
      value += kCharsets[bytes[++at] - '0'];
    }
  }
  return value;
}

void CheckDecoding(const std::string& value) {
  const std::string decoded = codec::DecodeHeaderValue(value);
  if (decoded.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  if (decoded.size() > value.size()) __builtin_trap();
  const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80 && c != '=' && c != '\r' && c != '\n';
  });
  if (plain && decoded != value) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckDecoding(std::string(bytes));
  CheckDecoding(WithCharsetNames(bytes));
  if (size > 0) {
    const std::size_t pick = data[0] % std::size(kCharsets);
    const auto converted = platform::ConvertToCp1251(bytes.substr(1), kCharsets[pick]);
    if (converted.has_value() != (pick != std::size(kCharsets) - 1)) __builtin_trap();
    if (converted && converted->size() > size - 1) __builtin_trap();
  }
  return 0;
}
