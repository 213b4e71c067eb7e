// Matching SEARCH programs: flags, numbers, sets with "*", dates around midnight and in every
// zone, headers and bodies in Cyrillic across charsets and encodings, and the text read only
// when nothing cheaper decides.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "imap_server/search_match.h"
#include "imap_server/search_program.h"
#include "mime/message_structure.h"
#include "platform/cp1251_utf8.h"
#include "platform/text.h"
#include "spool/mailbox_index.h"

namespace quelma::imap_server {
namespace {

using platform::Cp1251ToUtf8;

// A message the test owns, with the number of times its text and header were asked for.
struct TestMessage {
  SearchMessage message;
  std::string text;
  std::set<std::string> keywords;
  std::optional<mime::MessagePart> structure;
  int textReads = 0;
  bool unreadable = false;

  explicit TestMessage(std::string messageText = "Subject: x\r\n\r\nbody\r\n", bool withSummary = true)
      : text(std::move(messageText)) {
    message.sequence = 3;
    message.uid = 30;
    message.flags = spool::flag::kSeen | spool::flag::kFlagged;
    message.recent = true;
    message.modseq = 500;
    message.internalDate = 1710115199;  // 2024-03-10 23:59:59 UTC
    message.size = 2000;
    keywords.insert("$forwarded");
    if (withSummary) structure = mime::ReadStructure(text);
  }

  // Pointers into this object: take it after it has its final place.
  const SearchMessage& view() {
    message.hasKeyword = [this](std::string_view k) { return keywords.count(platform::ToLowerAscii(k)) > 0; };
    message.structure = structure ? &*structure : nullptr;
    message.text = [this]() -> std::optional<std::string_view> {
      ++textReads;
      if (unreadable) return std::nullopt;
      return std::string_view(text);
    };
    return message;
  }
};

SearchKey Program(const std::string& arguments) {
  ArgumentReader in(arguments);
  SearchParse parse = ReadSearchRequest(in, false);
  EXPECT_EQ(parse.outcome, SearchParse::Outcome::kOk) << arguments;
  return std::move(parse.request.program);
}

bool Matches(const std::string& arguments, TestMessage& message, SearchMailbox mailbox = {10, 100}) {
  const SearchKey program = Program(arguments);
  SearchMatcher matcher(program, mailbox);
  return matcher.matches(message.view());
}

// A search string as a literal: any bytes, the way clients send UTF-8.
std::string Literal(const std::string& utf8) { return "{" + std::to_string(utf8.size()) + "}\r\n" + utf8; }

TEST(SearchMatch, FlagsNumbersAndSets) {
  const std::pair<const char*, bool> cases[] = {
      {"ALL", true},
      {"SEEN FLAGGED", true},
      {"UNSEEN", false},
      {"FLAGGED ANSWERED", false},
      {"OR ANSWERED FLAGGED", true},
      {"NOT DELETED UNDRAFT UNANSWERED", true},
      {"DRAFT", false},
      {"RECENT", true},
      {"NEW", false},  // recent, but seen
      {"OLD", false},
      {"KEYWORD $Forwarded", true},
      {"UNKEYWORD $forwarded", false},
      {"KEYWORD Junk", false},
      {"LARGER 1999", true},
      {"LARGER 2000", false},
      {"SMALLER 2001", true},
      {"SMALLER 2000", false},
      {"MODSEQ 500", true},
      {"MODSEQ \"/flags/\\\\seen\" all 501", false},
      {"3", true},
      {"2:4", true},
      {"1,2,4:*", false},
      {"*", false},      // message 10
      {"*:3", true},     // 3:10
      {"UID 30", true},
      {"UID 31:*", false},
      {"UID *:25", true},  // 25:100
      {"NOT (SEEN UID 1:29)", true},
      {"OR (UNSEEN) (NOT 1:2)", true},
      {"(SEEN (FLAGGED (RECENT (NOT NOT 3))))", true},
  };
  for (const auto& [arguments, expected] : cases) {
    TestMessage message;
    EXPECT_EQ(Matches(arguments, message), expected) << arguments;
    EXPECT_EQ(message.textReads, 0) << arguments;
  }
}

TEST(SearchMatch, StarOfAnEmptyMailboxNamesNothing) {
  TestMessage message;
  EXPECT_FALSE(Matches("UID *", message, {0, 0}));
  EXPECT_TRUE(Matches("NOT *", message, {0, 0}));
}

// An internal date compares by its day in UTC: the last second of a day and the first of the next.
TEST(SearchMatch, InternalDateAroundMidnight) {
  struct Case {
    std::int64_t seconds;
    const char* arguments;
    bool expected;
  };
  const std::int64_t lastSecond = 1710115199, firstSecond = 1710115200;  // 10 and 11 March 2024
  const Case cases[] = {
      {lastSecond, "ON 10-Mar-2024", true},     {lastSecond, "BEFORE 11-Mar-2024", true},
      {lastSecond, "BEFORE 10-Mar-2024", false}, {lastSecond, "SINCE 10-Mar-2024", true},
      {lastSecond, "SINCE 11-Mar-2024", false},  {firstSecond, "ON 11-Mar-2024", true},
      {firstSecond, "ON 10-Mar-2024", false},    {firstSecond, "SINCE 11-Mar-2024", true},
      {firstSecond, "BEFORE 11-Mar-2024", false}, {-1, "ON 31-Dec-1969", true},
      {-86400, "ON 31-Dec-1969", true},          {-86401, "BEFORE 31-Dec-1969", true},
  };
  for (const Case& c : cases) {
    TestMessage message;
    message.message.internalDate = c.seconds;
    EXPECT_EQ(Matches(c.arguments, message), c.expected) << c.seconds << " " << c.arguments;
  }
}

// The Date: field's day as written: its time and zone do not move it to another day.
TEST(SearchMatch, SentDatesAsWrittenInAnyZoneAndForm) {
  struct Case {
    const char* date;  // nullptr: no Date: field
    const char* arguments;
    bool expected;
  };
  const Case cases[] = {
      {"Mon, 1 Jan 2024 23:30:00 -0800", "SENTON 1-Jan-2024", true},
      {"Mon, 1 Jan 2024 23:30:00 -0800", "SENTBEFORE 2-Jan-2024", true},
      {"Mon, 1 Jan 2024 23:30:00 -0800", "SENTSINCE 2-Jan-2024", false},
      {"Tue, 2 Jan 2024 00:10:00 +1400", "SENTON 2-Jan-2024", true},
      {"Tue, 2 Jan 2024 00:10:00 +1400", "SENTSINCE 2-Jan-2024", true},
      {"Tue, 2 Jan 2024 00:10:00 +1400", "SENTBEFORE 2-Jan-2024", false},
      {"2 Jan 24 10:00 GMT", "SENTON 2-Jan-2024", true},
      {"Thu, 04 Feb 99 10:00:00 +0300 (MSK)", "SENTON 4-Feb-1999", true},
      {"Wed Jan  3 10:00:00 2024", "SENTON 3-Jan-2024", true},  // asctime
      {"Friday, 12 July 2024 08:00", "SENTON 12-Jul-2024", true},
      {"  7   dec   2026\r\n 21:30 +0000", "SENTON 7-Dec-2026", true},
      {"31 Feb 2024 10:00 +0000", "OR SENTBEFORE 1-Jan-3000 SENTSINCE 1-Jan-1000", false},
      {"garbage", "OR SENTBEFORE 1-Jan-3000 SENTSINCE 1-Jan-1000", false},
      {nullptr, "OR SENTBEFORE 1-Jan-3000 SENTSINCE 1-Jan-1000", false},
      {nullptr, "NOT SENTON 1-Jan-2024", true},
  };
  for (const bool summary : {true, false}) {
    for (const Case& c : cases) {
      TestMessage message((c.date ? std::string("Date: ") + c.date + "\r\n" : std::string()) + "Subject: x\r\n\r\nx\r\n",
                          summary);
      EXPECT_EQ(Matches(c.arguments, message), c.expected) << (c.date ? c.date : "none") << " " << c.arguments;
    }
  }
}

std::string B(const char* charset, const std::string& bytes) {
  return std::string("=?") + charset + "?B?" + codec::Base64Encode(bytes) + "?=";
}

std::string Q(const char* charset, const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = std::string("=?") + charset + "?Q?";
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b == ' ') {
      out += '_';
    } else if (b >= 0x80 || b == '=' || b == '?' || b == '_') {
      out += {'=', kHex[b >> 4], kHex[b & 15]};
    } else {
      out += c;
    }
  }
  return out + "?=";
}

const std::string kIvanKoi8 = "\xE9\xD7\xC1\xCE\x20\xF0\xC5\xD4\xD2\xCF\xD7";  // "Иван Петров"
const std::string kPrivetKoi8 = "\xF0\xD2\xC9\xD7\xC5\xD4";                   // "Привет"

// Header fields in encoded-words of every charset, raw UTF-8 and raw Windows-1251, folded.
std::string HeaderMessage() {
  return "From: " + B("UTF-8", Cp1251ToUtf8("Иван Петров")) + " <ivan@example.ru>\r\n" +
         "To: " + Q("koi8-r", kIvanKoi8) + " <ivan@example.ru>,\r\n " + B("windows-1251", "Мария") + " <m@x.ru>\r\n" +
         "Cc: folded\r\n continued\r\n" + "Subject: " + Q("windows-1251", "Счёт на оплату") + " " +
         B("KOI8-R", kPrivetKoi8) + "\r\n" + "X-Utf8: " + Cp1251ToUtf8("Привет, мир") + "\r\n" +
         "X-Legacy: Привет, мир\r\n" + "X-Empty:\r\n" + "\r\nbody\r\n";
}

TEST(SearchMatch, HeadersDecodedInEveryCharsetAndFoldedCase) {
  const std::pair<std::string, bool> cases[] = {
      {"FROM " + Literal(Cp1251ToUtf8("иван")), true},
      {"FROM " + Literal(Cp1251ToUtf8("ПЕТРОВ")), true},
      {"FROM IVAN@EXAMPLE.RU", true},
      {"FROM " + Literal(Cp1251ToUtf8("мария")), false},
      {"TO " + Literal(Cp1251ToUtf8("иВАН пЕТРОВ")), true},  // KOI8-R, Q
      {"TO " + Literal(Cp1251ToUtf8("МАРИЯ")), true},        // Windows-1251, B, on a folded line
      {"CC \"folded continued\"", true},
      {"SUBJECT " + Literal(Cp1251ToUtf8("СЧЁТ НА")), true},
      {"SUBJECT " + Literal(Cp1251ToUtf8("оплатуПривет")), true},  // adjacent words join
      {"SUBJECT " + Literal(Cp1251ToUtf8("счет")), false},         // ё is not е
      {"SUBJECT =?windows-1251?Q?", true},                          // the value as written
      {"HEADER X-Utf8 " + Literal(Cp1251ToUtf8("ПРИВЕТ, МИР")), true},
      {"HEADER x-legacy " + Literal(Cp1251ToUtf8("привет")), true},
      {"HEADER X-Empty \"\"", true},
      {"HEADER X-Missing \"\"", false},
      {"HEADER Subject \"\"", true},
      {"NOT HEADER X-Empty x", true},
      {"BCC x", false},
      {"TEXT " + Literal(Cp1251ToUtf8("мария")), true},
      {"TEXT x-legacy", true},  // TEXT reads the header as written too
      {"BODY x-legacy", false},
  };
  for (const bool summary : {true, false}) {
    for (const auto& [arguments, expected] : cases) {
      TestMessage message(HeaderMessage(), summary);
      EXPECT_EQ(Matches(arguments, message), expected) << summary << " " << arguments;
    }
  }
}

// Quoted-printable with soft line breaks, any character written as "=XX".
std::string QuotedPrintable(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out, line;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    const std::string piece = b >= 0x80 || b == '=' ? std::string{'=', kHex[b >> 4], kHex[b & 15]} : std::string(1, c);
    if (line.size() + piece.size() > 75) {
      out += line + "=\r\n";
      line.clear();
    }
    line += piece;
  }
  return out + line;
}

std::string Base64Lines(const std::string& bytes) {
  const std::string all = codec::Base64Encode(bytes);
  std::string out;
  for (std::size_t at = 0; at < all.size(); at += 76) out += all.substr(at, 76) + "\r\n";
  return out;
}

std::string SinglePart(const std::string& contentType, const std::string& encoding, const std::string& body) {
  return "Subject: test\r\nMIME-Version: 1.0\r\nContent-Type: " + contentType +
         (encoding.empty() ? "" : "\r\nContent-Transfer-Encoding: " + encoding) + "\r\n\r\n" + body;
}

const std::string kInvoiceKoi8 = "\xF3\xDE\xA3\xD4\x20\xCE\xC1\x20\xCF\xD0\xCC\xC1\xD4\xD5";  // "Счёт на оплату"

TEST(SearchMatch, BodiesInEveryCharsetAndEncoding) {
  const std::string invoiceUtf8 = Cp1251ToUtf8("Итак: Счёт на оплату №5");
  const std::string invoiceCp1251 = "Итак: Счёт на оплату №5";
  const std::string attachment = "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                                 Base64Lines(invoiceUtf8) + "--b--\r\n";
  const std::string messages[] = {
      SinglePart("text/plain; charset=windows-1251", "8bit", invoiceCp1251),
      SinglePart("text/plain; charset=\"KOI8-R\"", "quoted-printable", QuotedPrintable(kInvoiceKoi8)),
      SinglePart("text/plain; charset=utf-8", "base64", Base64Lines(invoiceUtf8)),
      SinglePart("text/plain; charset=UTF-8", "Quoted-Printable", QuotedPrintable(invoiceUtf8)),
      SinglePart("text/plain", "", invoiceCp1251),   // no charset: Windows-1251, as it does not read as UTF-8
      SinglePart("text/plain", "8bit", invoiceUtf8),  // no charset, but UTF-8
      SinglePart("text/plain; charset=x-unknown", "base64", Base64Lines(invoiceUtf8)),
      // Multipart: the HTML part holds it; the binary part's copy is not text.
      SinglePart("multipart/mixed; boundary=b", "",
                 "--b\r\nContent-Type: text/html; charset=koi8-r\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                     Base64Lines("<p>" + kInvoiceKoi8 + "</p>") + attachment),
      // A forwarded message: its header and its body.
      SinglePart("message/rfc822", "",
                 "Subject: " + B("utf-8", invoiceUtf8) + "\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\n" +
                     kInvoiceKoi8 + "\r\n"),
  };
  const std::string word = Literal(Cp1251ToUtf8("СЧЁТ НА ОПЛАТУ"));
  for (std::size_t i = 0; i < std::size(messages); ++i) {
    for (const bool summary : {true, false}) {
      TestMessage message(messages[i], summary);
      EXPECT_TRUE(Matches("BODY " + word, message)) << i << " " << summary;
      EXPECT_TRUE(Matches("TEXT " + word, message)) << i << " " << summary;
      EXPECT_FALSE(Matches("BODY " + Literal(Cp1251ToUtf8("счёт на оплату №6")), message)) << i;
      EXPECT_FALSE(Matches("BODY test", message)) << i;  // the subject is no body
      EXPECT_TRUE(Matches("TEXT TEST", message)) << i;
    }
  }
  TestMessage binaryOnly(SinglePart("multipart/mixed; boundary=b", "", attachment));
  EXPECT_FALSE(Matches("BODY " + word, binaryOnly));
}

// Case folding beyond ASCII and Cyrillic: Latin-1, Latin Extended-A, Greek.
TEST(SearchMatch, CaseFoldingOfLatinGreekAndCyrillic) {
  const std::pair<const char8_t*, const char8_t*> cases[] = {
      {u8"Ärger Über ÉTÉ", u8"ärger über été"},
      {u8"ŁÓDŹ ŻÓŁW ČESKÝ ŠÍŘE", u8"łódź żółw český šíře"},
      {u8"ΑΘΗΝΑ ΣΟΦΙΑ Ά", u8"αθηνα σοφια ά"},
      {u8"ЁЛКА ЇЖАК ЎЗБЕК Ґ", u8"ёлка їжак ўзбек ґ"},
  };
  for (const auto& [upperUtf8, lowerUtf8] : cases) {
    const std::string body(reinterpret_cast<const char*>(upperUtf8)), search(reinterpret_cast<const char*>(lowerUtf8));
    TestMessage message(SinglePart("text/plain; charset=utf-8", "8bit", body));
    EXPECT_TRUE(Matches("BODY " + Literal(search), message)) << search;
    TestMessage upper(SinglePart("text/plain; charset=utf-8", "8bit", search));
    EXPECT_TRUE(Matches("BODY " + Literal(body), upper)) << body;
  }
}

// A big body is read in pieces of 64 kB of its encoded text, cut after a line end: a word across
// the first cut (a character cut in two included) is found in each encoding. The windows are
// where the first cut falls in the decoded text: 65536 as it is, 840 base64 lines of 57 bytes,
// 840 quoted-printable lines of 75.
TEST(SearchMatch, BigBodiesFoundAcrossPieces) {
  const std::string word = Cp1251ToUtf8("СчёТ");
  const std::pair<const char*, std::size_t> variants[] = {
      {"8bit", 65536}, {"base64", 840 * 57}, {"quoted-printable", 840 * 75}};
  for (const auto& [encoding, cut] : variants) {
    for (std::size_t offset = cut - 10; offset <= cut + 2; ++offset) {
      std::string text(70000, 'a');
      text.replace(offset, word.size(), word);
      const std::string body = std::string(encoding) == "base64"             ? Base64Lines(text)
                               : std::string(encoding) == "quoted-printable" ? QuotedPrintable(text)
                                                                             : text;
      TestMessage message(SinglePart("text/plain; charset=utf-8", encoding, body));
      EXPECT_TRUE(Matches("BODY " + Literal(Cp1251ToUtf8("счёт")), message)) << encoding << " " << offset;
      EXPECT_FALSE(Matches("BODY " + Literal(Cp1251ToUtf8("счёта")), message)) << encoding << " " << offset;
    }
  }
}

// The text is read once, and only when the cheap keys leave the answer open.
TEST(SearchMatch, TextReadOnlyWhenNeeded) {
  const std::pair<const char*, int> cases[] = {
      {"UNSEEN BODY body", 0},       // the flag decides first, whatever the order written
      {"BODY body UNSEEN", 0},
      {"OR BODY body SEEN", 0},
      {"OR SEEN BODY body", 0},
      {"SUBJECT y BODY body", 0},    // the summary's subject decides
      {"BODY body", 1},
      {"BODY body TEXT x BODY y", 1},
      {"SUBJECT x", 0},
  };
  for (const auto& [arguments, reads] : cases) {
    TestMessage message;
    Matches(arguments, message);
    EXPECT_EQ(message.textReads, reads) << arguments;
  }
}

TEST(SearchMatch, UnreadableTextIsReported) {
  TestMessage message;
  message.unreadable = true;
  const SearchKey program = Program("BODY body");
  SearchMatcher matcher(program, {10, 100});
  EXPECT_FALSE(matcher.matches(message.view()));
  EXPECT_TRUE(matcher.missedText());
  const SearchKey flags = Program("SEEN");
  SearchMatcher other(flags, {10, 100});
  EXPECT_TRUE(other.matches(message.view()));
  EXPECT_FALSE(other.missedText());
}

}  // namespace
}  // namespace quelma::imap_server
