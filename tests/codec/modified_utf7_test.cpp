// Modified UTF-7 mailbox names: RFC 3501's example and Cyrillic both ways, and every text that
// is not canonical refused.
#include "codec/modified_utf7.h"

#include <gtest/gtest.h>

namespace quelma::codec {
namespace {

// The sources' literals are Windows-1251 bytes; mailbox names are UTF-8.
std::string U8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

TEST(ModifiedUtf7, NamesBothWays) {
  const std::pair<std::string, std::string> cases[] = {
      {"INBOX", "INBOX"},
      {U8(u8"~peter/mail/台北/日本語"), "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {U8(u8"Входящие"), "&BBIERQQ+BDQETwRJBDgENQ-"},
      {U8(u8"Отправленные/2026"), "&BB4EQgQ,BEAEMAQyBDsENQQ9BD0ESwQ1-/2026"},
      {"Q&A", "Q&-A"},
      {"&&", "&-&-"},
      {U8(u8"😀 mail"), "&2D3eAA- mail"},
      {"", ""},
  };
  for (const auto& [utf8, wire] : cases) {
    EXPECT_EQ(ModifiedUtf7Encode(utf8), wire) << wire;
    EXPECT_EQ(ModifiedUtf7Decode(wire), utf8) << wire;
  }
}

TEST(ModifiedUtf7, WhatIsNotCanonicalIsRefused) {
  for (const std::string wire : {
           "&",              // a run without its end
           "&BBI",           // still without it
           "&BBIE-",         // bits of half a unit left over
           "&BBJ-",          // bits left over that are not zero
           "&AEE-",          // "A" encoded though it stands for itself
           "&2D0-",          // a high surrogate alone
           "&3gA-",          // a low surrogate alone
           "&BBI-&BBI-",     // two runs that would be one
           "&BB/-",          // "/" is not of the alphabet, "," is
           "caf\xc3\xa9",    // 8-bit bytes bare
           "tab\there",      // a control character bare
       }) {
    EXPECT_FALSE(ModifiedUtf7Decode(wire).has_value()) << wire;
  }
  for (const std::string utf8 : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"}) {
    EXPECT_FALSE(ModifiedUtf7Encode(utf8).has_value()) << "not UTF-8";
  }
}

}  // namespace
}  // namespace quelma::codec
