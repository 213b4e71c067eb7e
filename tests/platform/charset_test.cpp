// Charset conversion to Windows-1251 and to UTF-8: every charset and alias, bad sequences, unmappable characters.
#include <gtest/gtest.h>

#include <string>

#include "platform/charset.h"
#include "platform/cp1251_utf8.h"

namespace quelma::platform {
namespace {

using namespace std::string_literals;

const std::string kX(1, kUnmappable);

struct Case {
  const char* charset;
  std::string text;
  std::string expected;
};

TEST(Charset, ConvertsEveryKnownCharset) {
  const Case cases[] = {
      {"UTF-8", "\xD1\x81\xD1\x87\xD1\x91\xD1\x82", "счёт"},
      {"KOI8-R", "\xD3\xDE\xA3\xD4", "счёт"},
      {"KOI8-U", "\xD3\xDE\xA3\xD4", "счёт"},
      {"windows-1251", "\xF1\xF7\xB8\xF2", "счёт"},
      {"ISO-8859-5", "\xE1\xE7\xF1\xE2", "счёт"},
      {"IBM866", "\xE1\xE7\xF1\xE2", "счёт"},
      {"US-ASCII", "Invoice 5", "Invoice 5"},
      // Ukrainian letters are KOI8-U's own: KOI8-R has box drawings there.
      {"KOI8-U", "\xA4\xA6\xA7\xAD", "єіїґ"},
      {"KOI8-R", "\xA4\xA6", kX + kX},
      // Latin-1 and Windows-1252 share a few signs with Windows-1251, and no accented letters.
      {"ISO-8859-1", "\xA7\xA9\xAB\xBB\xE9", "§©«»" + kX},
      {"windows-1252", "\x80\x84\x96\x99\xE9", "€„–™" + kX},
      {"windows-1252", "a\x81" "b", "a" + kX + "b"},  // unassigned in Windows-1252
      {"IBM866", "\xF0\xFC\xB0", "Ё№" + kX},            // a box drawing Windows-1251 lacks
      {"US-ASCII", "caf\xE9", "caf" + kX},
      {"windows-1251", "a\x98" "b", "a" + kX + "b"},  // the code page's one unassigned byte
      {"ISO-8859-5", "\x98", kX},                       // a C1 control
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConvertToCp1251(c.text, c.charset), c.expected) << c.charset << " " << Cp1251ToUtf8(c.expected);
  }
}

TEST(Charset, NamesAndAliasesInAnyCase) {
  const std::pair<const char*, bool> names[] = {
      {"utf-8", true},      {"UTF8", true},        {"koi8-r", true},        {"KOI8R", true},
      {"koi8-u", true},     {"Windows-1251", true}, {"CP1251", true},        {"x-cp1251", true},
      {"win-1251", true},   {"iso-8859-5", true},  {"ISO_8859-5", true},    {"cyrillic", true},
      {"us-ascii", true},   {"ASCII", true},       {"iso-8859-1", true},    {"latin1", true},
      {"windows-1252", true}, {"cp866", true},     {"IBM866", true},        {"", false},
      {"utf-7", false},     {"gb2312", false},     {"utf-16", false},       {"koi8-r ", false},
      {"windows-1251x", false},
  };
  for (const auto& [name, known] : names) {
    EXPECT_EQ(ConvertToCp1251("\xE9", name).has_value(), known) << name;
    EXPECT_EQ(ConvertToCp1251("", name).has_value(), known) << name;
  }
}

// Each bad sequence or character Windows-1251 lacks becomes one mark, and the text goes on.
TEST(Charset, Utf8BadSequencesAndUnmappableCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\xE2\x82z", "a" + kX + "z"},                  // truncated three-byte sequence
      {"a\xE2\x82", "a" + kX},                         // truncated at the end
      {"\x80\xBF", kX + kX},                           // stray continuation bytes
      {"\xC0\x80", kX + kX},                           // overlong NUL
      {"\xED\xA0\x80", kX + kX + kX},                  // a surrogate
      {"\xF4\x90\x80\x80", kX + kX + kX + kX},         // past U+10FFFF
      {"\xFF\xD1\x81", kX + "с"},
      {"\xE4\xB8\xAD\xE6\x96\x87", kX + kX},           // Chinese
      {"\xF0\x9F\x98\x80!", kX + "!"},                 // an emoji, outside the BMP
      {"\xC3\xA9\xD1\x91", kX + "ё"},                  // an accented Latin letter
      {"\xE2\x84\x96\xE2\x82\xAC", "№€"},
      {"\xC2\x98", kX},                                // U+0098 is no Windows-1251 character
      {"?\xE4\xB8\xAD?", "?" + kX + "?"},
  };
  for (const auto& [utf8, expected] : cases) {
    EXPECT_EQ(ConvertToCp1251(utf8, "UTF-8"), expected) << Cp1251ToUtf8(expected);
  }
}

TEST(Charset, EveryWindows1251CharacterComesBackFromUtf8) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string expected = all;
  expected[0x98] = kUnmappable;
  EXPECT_EQ(ConvertToCp1251(Cp1251ToUtf8(all), "utf-8"), expected);
}

// Long text, with bad sequences spread through it, is converted in bulk and in order.
TEST(Charset, LongTextWithManyBadSequences) {
  std::string utf8, expected;
  for (int i = 0; i < 5000; ++i) {
    utf8 += "\xD1\x91" "a";
    expected += "ёa";
    if (i % 97 == 0) {
      utf8 += "\xE4\xB8\xAD";
      expected += kX;
    }
    if (i % 89 == 0) {
      utf8 += "\xC3";
      expected += kX;
    }
  }
  EXPECT_EQ(ConvertToCp1251(utf8, "UTF-8"), expected);
}

TEST(Charset, ValidUtf8) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},           {"plain", true},          {"\xD1\x81\xD1\x87", true}, {"\xF0\x9F\x98\x80", true},
      {"\xEF\xBF\xBD", true}, {"\xF1\xF7\xB8\xF2", false}, {"\xD1", false},         {"\xC0\xAF", false},
      {"\xED\xBF\xBF", false}, {"\xF4\x90\x80\x80", false}, {"a\x80", false},        {"\xF5\x80\x80\x80", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(IsValidUtf8(text), valid) << Cp1251ToUtf8(text);
}

// To UTF-8 every character keeps its identity, in Windows-1251 or not; each bad sequence is U+FFFD.
TEST(Charset, ConvertsEveryKnownCharsetToUtf8) {
  const std::string kFffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"UTF-8", "\xD1\x81\xD1\x87\xD1\x91\xD1\x82", Cp1251ToUtf8("счёт")},
      {"KOI8-R", "\xD3\xDE\xA3\xD4", Cp1251ToUtf8("счёт")},
      {"koi8-u", "\xA4\xA6\xA7\xAD", "\xD1\x94\xD1\x96\xD1\x97\xD2\x91"},
      {"cp1251", "\xF1\xF7\xB8\xF2 \xB9", Cp1251ToUtf8("счёт №")},
      {"ISO-8859-5", "\xE1\xE7\xF1\xE2\xF0", Cp1251ToUtf8("счёт№")},
      {"IBM866", "\xE1\xE7\xF1\xE2", Cp1251ToUtf8("счёт")},
      {"US-ASCII", "Invoice 5", "Invoice 5"},
      // What Windows-1251 lacks comes through.
      {"KOI8-R", "\xA4", "\xE2\x95\x93"},
      {"IBM866", "\xB0", "\xE2\x96\x91"},
      {"latin1", "caf\xE9", "caf\xC3\xA9"},
      {"windows-1252", "\x80\x9C", "\xE2\x82\xAC\xC5\x93"},
      {"UTF-8", "\xE4\xB8\xAD\xF0\x9F\x98\x80", "\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      // Bad sequences, one U+FFFD each.
      {"UTF-8", "a\xE2\x82z\xC0\x80", "a" + kFffd + "z" + kFffd + kFffd},
      {"UTF-8", "\xED\xA0\x80\xF4\x90", kFffd + kFffd + kFffd + kFffd + kFffd},
      {"US-ASCII", "caf\xE9", "caf" + kFffd},
      {"windows-1251", "a\x98" "b", "a" + kFffd + "b"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    if (std::string(c.charset).empty()) {
      EXPECT_FALSE(ConvertToUtf8("x", "gb2312"));
      EXPECT_FALSE(ConvertToUtf8("", "utf-7"));
      continue;
    }
    EXPECT_EQ(ConvertToUtf8(c.text, c.charset), c.expected) << c.charset << " " << c.expected;
  }
}

// A long text in a single-byte charset and in UTF-8 with bad sequences converts in bulk and in order.
TEST(Charset, LongTextToUtf8) {
  std::string koi8, utf8, expected;
  for (int i = 0; i < 30000; ++i) {
    koi8 += "\xA3" "a";
    utf8 += "\xD1\x91" "a";
    expected += "\xD1\x91" "a";
  }
  EXPECT_EQ(ConvertToUtf8(koi8, "KOI8-R"), expected);
  EXPECT_EQ(ConvertToUtf8(utf8 + "\xD1", "UTF-8"), expected + "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quelma::platform
