// Header values as the sorter sees them: encoded-words in every charset, runs, malformed words,
// folding, raw 8-bit text, and inputs built to be slow or to read out of bounds.
#include <gtest/gtest.h>

#include <string>

#include "codec/encoded_words.h"
#include "platform/charset.h"
#include "platform/cp1251_utf8.h"

namespace quelma::codec {
namespace {

const std::string kX(1, platform::kUnmappable);

struct Case {
  std::string value;
  std::string expected;
};

template <std::size_t N>
void ExpectAll(const Case (&cases)[N]) {
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeHeaderValue(c.value), c.expected)
        << platform::Cp1251ToUtf8(c.value) << " -> " << platform::Cp1251ToUtf8(DecodeHeaderValue(c.value));
  }
}

TEST(EncodedWords, BAndQInEveryCharset) {
  const Case cases[] = {
      {"=?UTF-8?B?0YHRh9GR0YI=?=", "счёт"},
      {"=?utf-8?q?=D1=81=D1=87=D1=91=D1=82?=", "счёт"},
      {"=?KOI8-R?B?096j1A==?=", "счёт"},
      {"=?koi8-r?Q?=D3=DE=A3=D4?=", "счёт"},
      {"=?koi8-u?b?096j1A==?=", "счёт"},
      {"=?KOI8-U?Q?=A4=A6?=", "єі"},
      {"=?ISO-8859-5?B?4efx4g==?=", "счёт"},
      {"=?iso-8859-5?Q?=e1=e7=f1=e2?=", "счёт"},  // lower-case hex
      {"=?windows-1251?Q?=F1=F7=B8=F2?=", "счёт"},
      {"=?CP1251?B?8fe48g==?=", "счёт"},
      {"=?IBM866?B?4efx4g==?=", "счёт"},
      {"=?cp866?Q?=E1=E7=F1=E2?=", "счёт"},
      {"=?ISO-8859-1?Q?caf=E9_=A7?=", "caf" + kX + " §"},
      {"=?windows-1252?Q?=80=99?=", "€™"},
      {"=?US-ASCII?Q?Invoice_No=2E5?=", "Invoice No.5"},
      {"=?us-ascii?Q?a=E9?=", "a" + kX},
      {"=?UTF-8*ru?B?0YHRh9GR0YI=?=", "счёт"},  // a language is ignored
      {"=?UTF-8?B?0YHRh9GR0YI?=", "счёт"},      // padding missing
      {"=?UTF-8?B?QUJDx?=", "ABC"},             // six bits left over make no byte
      {"=?utf-8?Q?a_b=5F?=", "a b_"},
  };
  ExpectAll(cases);
}

TEST(EncodedWords, BlanksBetweenWordsGoBlanksBesidePlainTextStay) {
  const Case cases[] = {
      {"Re: =?UTF-8?B?0YHRh9GR0YI=?= No. 5", "Re: счёт No. 5"},
      {"Re:=?UTF-8?B?0YHRh9GR0YI=?=", "Re:счёт"},
      {"=?UTF-8?Q?=D1=81?= =?UTF-8?Q?=D1=82?=", "ст"},
      {"=?UTF-8?Q?=D1=81?= \t  =?UTF-8?Q?=D1=82?=", "ст"},
      {"=?UTF-8?Q?=D1=81?=\r\n =?UTF-8?Q?=D1=82?=", "ст"},
      {"=?UTF-8?Q?=D1=81?==?UTF-8?Q?=D1=82?=", "ст"},
      {"=?UTF-8?Q?=D1=81?= =?KOI8-R?Q?=D4?=", "ст"},  // another charset: still adjacent words
      {"=?UTF-8?Q?=D1=81?= x =?UTF-8?Q?=D1=82?=", "с x т"},
      {"=?UTF-8?Q?=D1=81_?= =?UTF-8?Q?=D1=82?=", "с т"},  // an encoded blank stays
      {"(=?UTF-8?Q?=D1=81?=) \"=?UTF-8?Q?=D1=82?=\" <a@b.ru>", "(с) \"т\" <a@b.ru>"},
  };
  ExpectAll(cases);
}

TEST(EncodedWords, WordsSplitInsideACharacterOrAQuantum) {
  const Case cases[] = {
      {"=?UTF-8?Q?=D1?= =?UTF-8?Q?=81?=", "с"},
      {"=?UTF-8?B?0YHR?= =?UTF-8?B?h9GR0YI=?=", "счёт"},
      {"=?UTF-8?B?0Y?= =?UTF-8?B?HRh9GR0YI=?=", "счёт"},  // a quantum split between the words
      {"=?UTF-8?B?0YE=?= =?UTF-8?B?0YI=?=", "ст"},       // each word padded on its own
      {"=?UTF-8?B?0Q==?= =?UTF-8?B?gQ==?=", "с"},
      // Words in another encoding or charset are a run of their own.
      {"=?UTF-8?B?0Q==?= =?UTF-8?Q?=81?=", kX + kX},
      {"=?UTF-8?Q?=D1?= =?KOI8-R?Q?=81?=", kX + kX},
  };
  ExpectAll(cases);
}

TEST(EncodedWords, MalformedWordsAreKeptAsWritten) {
  const std::string kept[] = {
      "=?UTF-8?B?0Y*?=",       // outside the Base64 alphabet
      "=?UTF-8?B?0YE=0YI=?=",  // padding inside
      "=?UTF-8?B?==?=",
      "=?UTF-8?Q?=ZZ?=",       // bad escapes
      "=?UTF-8?Q?=D?=",
      "=?UTF-8?Q?a=?=",
      "=?x-unknown?Q?abc?=",   // an unknown charset
      "=??Q?abc?=",
      "=?UTF-8?Q?abc",         // no "?="
      "=?UTF-8?Q?" "?=",       // empty text
      "=?UTF-8?X?abc?=",       // unknown encoding
      "=?UTF-8?QQ?abc?=",
      "=?UTF-8?Q?abc?=def",    // not a whole token
      "=?UTF-8?Q?a b?=",
      "=?UTF-8?B?",
      "=?",
      "?=",
      "a=?b?c?=d",
  };
  for (const std::string& value : kept) EXPECT_EQ(DecodeHeaderValue(value), value) << value;
  const Case cases[] = {
      {"=?UTF-8?Q?=D1=81?= =?UTF-8?Q?=ZZ?= =?UTF-8?Q?=D1=82?=", "с =?UTF-8?Q?=ZZ?= т"},
      {"=?x-unknown?Q?a?= =?x-unknown?Q?b?= =?UTF-8?Q?=D1=82?=", "=?x-unknown?Q?a?= =?x-unknown?Q?b?= т"},
      {"=?UTF-8?Q?=D1=81?==?UTF-8?Q?=ZZ?==?UTF-8?Q?=D1=82?=", "с=?UTF-8?Q?=ZZ?=т"},
  };
  ExpectAll(cases);
}

TEST(EncodedWords, CharactersWindows1251LacksAreOneMarkEach) {
  const Case cases[] = {
      {"=?UTF-8?B?5Lit5paH?=", kX + kX},                        // Chinese
      {"=?UTF-8?B?8J+YgA==?= ok", kX + " ok"},                  // an emoji
      {"=?UTF-8?Q?=F0=9F=98=80=D1=81?=", kX + "с"},
      {"=?UTF-8?Q?a=FFb=E2=82?=", "a" + kX + "b" + kX},          // bad UTF-8 inside a word
      {"=?UTF-8?Q?a=0D=0Ab?=", "a  b"},                         // no line ends come out
  };
  ExpectAll(cases);
}

TEST(EncodedWords, FoldingAndRawEightBitText) {
  const Case cases[] = {
      {"Subject text\r\n continued\r\n", "Subject text continued"},
      {" first\n\tsecond\n", " first\tsecond"},
      {"a\rb\r\n\r\n", "a b"},
      {"Re: \xD1\x81\xD1\x87\xD1\x91\xD1\x82", "Re: счёт"},                         // raw UTF-8
      {"Re: счёт", "Re: счёт"},                                                     // raw Windows-1251
      {"\xD1\x81 =?KOI8-R?Q?=DE?= \xD1\x91", "с ч ё"},
      {"счёт =?KOI8-R?Q?=DE?=", "счёт ч"},
      {"\xE4\xB8\xAD\xE6\x96\x87 1", kX + kX + " 1"},
      {"caf\xC3\xA9 \xC3", "caf\xC3\xA9 \xC3"},  // not all UTF-8: taken as it stands
  };
  ExpectAll(cases);
}

// To UTF-8 (IMAP SEARCH): every character kept, raw Windows-1251 read as such, bad bytes U+FFFD.
TEST(EncodedWords, DecodedToUtf8) {
  const std::string schet = platform::Cp1251ToUtf8("счёт"), fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"=?UTF-8?B?0YHRh9GR0YI=?=", schet},
      {"=?koi8-r?Q?=D3=DE=A3=D4?= =?CP1251?B?8fe48g==?=", schet + schet},
      {"=?UTF-8?B?5Lit5paH?= =?UTF-8?B?8J+YgA==?=", "\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80"},
      {"=?ISO-8859-1?Q?caf=E9?=", "caf\xC3\xA9"},
      {"=?UTF-8?Q?a=FFb?=", "a" + fffd + "b"},
      {"Re: \xD1\x81\xD1\x87\xD1\x91\xD1\x82\r\n more", "Re: " + schet + " more"},  // raw UTF-8 as it is
      {"Re: счёт", "Re: " + schet},                                                     // raw Windows-1251
      {"счёт =?KOI8-R?Q?=DE?=", schet + " " + platform::Cp1251ToUtf8("ч")},
      {"=?x-unknown?Q?a?= plain", "=?x-unknown?Q?a?= plain"},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHeaderValueToUtf8(c.value), c.expected) << c.value;
}

TEST(EncodedWords, LongFoldedSubject) {
  std::string value = "Invoices:";
  std::string expected = "Invoices: ";
  while (value.size() < 2000) {
    value += " =?UTF-8?B?0YHRh9GR0YI=?=\r\n";
    expected += "счёт";
  }
  value += " end\r\n";
  expected += " end";
  EXPECT_EQ(DecodeHeaderValue(value), expected);
}

// Inputs that would take quadratic time in a naive search, and every prefix of a busy value.
TEST(EncodedWords, GarbageAndTruncations) {
  const std::string patterns[] = {"=?", "=?a?", "=?a?B?", "=?a?Q?=", "=?a?B?x?", "?="};
  for (const std::string& pattern : patterns) {
    std::string garbage;
    while (garbage.size() < 100000) garbage += pattern;
    EXPECT_EQ(DecodeHeaderValue(garbage), garbage) << pattern;
  }
  const std::string busy =
      "Re:=?UTF-8?B?0YHRh9GR0YI=?=\r\n =?koi8-r?q?=D3=DE?=  (=?x?Q?a?=) \xD1\x81 =?UTF-8?Q?=F0=9F=98=80?=\r\n";
  for (std::size_t length = 0; length <= busy.size(); ++length) {
    const std::string decoded = DecodeHeaderValue(busy.substr(0, length));
    EXPECT_LE(decoded.size(), length);
    EXPECT_EQ(decoded.find_first_of("\r\n"), std::string::npos);
  }
}

// A subject of ours: plain ASCII as it stands, anything else in words short enough for a
// header line that decode back to the same text.
TEST(EncodedWords, OurSubjectsEncodeAndDecodeBack) {
  EXPECT_EQ(EncodeHeaderValue("Queue is stuck"), "Queue is stuck");
  EXPECT_EQ(EncodeHeaderValue("a =?b?= c"), "=?windows-1251?B?YSA9P2I/PSBj?=");
  for (const std::string& text : {std::string("\xcc\xe0\xeb\xee \xec\xe5\xf1\xf2\xe0"),
                                 std::string(100, '\xfd'), std::string("caf\xe9 \xe8 tab\there")}) {
    const std::string encoded = EncodeHeaderValue(text);
    std::size_t start = 0;
    for (std::size_t end = encoded.find("\r\n"); ; end = encoded.find("\r\n", start)) {
      EXPECT_LT((end == std::string::npos ? encoded.size() : end) - start, 76u) << encoded;
      if (end == std::string::npos) break;
      start = end + 2;
    }
    EXPECT_EQ(DecodeHeaderValue(encoded), text) << encoded;
  }
}

}  // namespace
}  // namespace quelma::codec
