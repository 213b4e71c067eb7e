// Reading SEARCH requests: every key, RETURN and CHARSET, nesting, the bounds, bad programs;
// and the SEARCH and ESEARCH answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap_server/search_program.h"
#include "imap_server/search_response.h"
#include "platform/cp1251_utf8.h"

namespace quelma::imap_server {
namespace {

using Outcome = SearchParse::Outcome;
using Kind = SearchKey::Kind;

std::string Describe(const SearchKey& key);

std::string DescribeChildren(const char* name, const SearchKey& key) {
  std::string out = name;
  out += "(";
  for (std::size_t i = 0; i < key.children.size(); ++i) out += (i ? "," : "") + Describe(key.children[i]);
  return out + ")";
}

std::string DescribeSet(const SequenceSet& set) {
  std::string out;
  for (const auto& [a, b] : set.written()) {
    if (!out.empty()) out += ",";
    out += a == kStar ? "*" : std::to_string(a);
    if (a != b) out += ":" + (b == kStar ? std::string("*") : std::to_string(b));
  }
  return out;
}

// A compact form of the tree: what the parser made of the program.
std::string Describe(const SearchKey& key) {
  switch (key.kind) {
    case Kind::kAll: return "ALL";
    case Kind::kFlag: return "FLAG " + std::to_string(key.number);
    case Kind::kRecent: return "RECENT";
    case Kind::kKeyword: return "KEYWORD " + key.text;
    case Kind::kLarger: return "LARGER " + std::to_string(key.number);
    case Kind::kSmaller: return "SMALLER " + std::to_string(key.number);
    case Kind::kBefore: return "BEFORE " + std::to_string(key.day);
    case Kind::kOn: return "ON " + std::to_string(key.day);
    case Kind::kSince: return "SINCE " + std::to_string(key.day);
    case Kind::kSentBefore: return "SENTBEFORE " + std::to_string(key.day);
    case Kind::kSentOn: return "SENTON " + std::to_string(key.day);
    case Kind::kSentSince: return "SENTSINCE " + std::to_string(key.day);
    case Kind::kModseq: return "MODSEQ " + std::to_string(key.number);
    case Kind::kSequence: return "SEQ " + DescribeSet(key.set);
    case Kind::kUid: return "UID " + DescribeSet(key.set);
    case Kind::kHeader: return "HEADER " + key.field + " [" + key.text + "]";
    case Kind::kBody: return "BODY [" + key.text + "]";
    case Kind::kText: return "TEXT [" + key.text + "]";
    case Kind::kNot: return DescribeChildren("NOT", key);
    case Kind::kOr: return DescribeChildren("OR", key);
    case Kind::kAnd: return DescribeChildren("AND", key);
  }
  return "?";
}

SearchParse Parse(const std::string& arguments, bool uid = false) {
  ArgumentReader in(arguments);
  return ReadSearchRequest(in, uid);
}

TEST(SearchProgram, KeysAsTheyAreRead) {
  const std::string privet = platform::Cp1251ToUtf8("ПРИВЕТ"), privetLower = platform::Cp1251ToUtf8("привет");
  const std::pair<std::string, std::string> cases[] = {
      {"ALL", "AND(ALL)"},
      {"answered deleted Draft FLAGGED SEEN", "AND(FLAG 2,FLAG 8,FLAG 16,FLAG 4,FLAG 1)"},
      {"UNANSWERED UNDELETED UNDRAFT UNFLAGGED UNSEEN",
       "AND(NOT(FLAG 2),NOT(FLAG 8),NOT(FLAG 16),NOT(FLAG 4),NOT(FLAG 1))"},
      // The keys IMAP4rev2 dropped are still read.
      {"NEW OLD RECENT", "AND(AND(RECENT,NOT(FLAG 1)),NOT(RECENT),RECENT)"},
      {"KEYWORD $Forwarded UNKEYWORD Junk", "AND(KEYWORD $Forwarded,NOT(KEYWORD Junk))"},
      {"FROM Ivan TO \"B C\" CC c BCC d SUBJECT \"Re: Hi\"",
       "AND(HEADER From [ivan],HEADER To [b c],HEADER Cc [c],HEADER Bcc [d],HEADER Subject [re: hi])"},
      {"HEADER X-Priority 1 HEADER \"Message-ID\" \"\"", "AND(HEADER X-Priority [1],HEADER Message-ID [])"},
      {"BODY {12}\r\n" + privet + " TEXT x", "AND(BODY [" + privetLower + "],TEXT [x])"},
      {"LARGER 100 SMALLER 9223372036854775807", "AND(LARGER 100,SMALLER 9223372036854775807)"},
      {"BEFORE 1-Jan-1970 ON \"02-Jan-1970\" SINCE 31-Dec-1969", "AND(BEFORE 0,ON 1,SINCE -1)"},
      {"SENTBEFORE 1-Feb-2024 SENTON 29-Feb-2024 SENTSINCE 1-Mar-2024",
       "AND(SENTBEFORE 19754,SENTON 19782,SENTSINCE 19783)"},
      {"1:3,7,9:* UID 5:* *", "AND(SEQ 1:3,7,9:*,UID 5:*,SEQ *)"},
      {"OR FROM a (TO b CC c) NOT 2", "AND(OR(HEADER From [a],AND(HEADER To [b],HEADER Cc [c])),NOT(SEQ 2))"},
      {"OR OR SEEN FLAGGED DELETED", "AND(OR(OR(FLAG 1,FLAG 4),FLAG 8))"},
      {"((ALL))", "AND(AND(AND(ALL)))"},
      {"MODSEQ 620162338", "AND(MODSEQ 620162338)"},
      {"MODSEQ \"/flags/\\\\draft\" all 620162338 MODSEQ \"/flags/$Junk\" PRIV 0", "AND(MODSEQ 620162338,MODSEQ 0)"},
      {"CHARSET UTF-8 FROM ivan", "AND(HEADER From [ivan])"},
      {"charset \"us-ascii\" all", "AND(ALL)"},
  };
  for (const auto& [arguments, expected] : cases) {
    const SearchParse parse = Parse(arguments);
    ASSERT_EQ(parse.outcome, Outcome::kOk) << arguments;
    EXPECT_EQ(Describe(parse.request.program), expected) << arguments;
    EXPECT_EQ(parse.request.usesModseq, arguments.find("MODSEQ") != std::string::npos) << arguments;
    EXPECT_FALSE(parse.request.returnOptions) << arguments;
  }
}

TEST(SearchProgram, ReturnOptions) {
  struct Case {
    std::string arguments;
    bool min, max, all, count;
  };
  const Case cases[] = {
      {"RETURN () ALL", false, false, true, false},
      {"RETURN (MIN) ALL", true, false, false, false},
      {"return (max count) ALL", false, true, false, true},
      {"RETURN (MIN MAX ALL COUNT) CHARSET UTF-8 ALL", true, true, true, true},
  };
  for (const Case& c : cases) {
    const SearchParse parse = Parse(c.arguments, true);
    ASSERT_EQ(parse.outcome, Outcome::kOk) << c.arguments;
    ASSERT_TRUE(parse.request.returnOptions) << c.arguments;
    const SearchReturn& r = *parse.request.returnOptions;
    EXPECT_EQ(std::vector<bool>({r.min, r.max, r.all, r.count}), std::vector<bool>({c.min, c.max, c.all, c.count}))
        << c.arguments;
    EXPECT_TRUE(parse.request.uid);
  }
}

TEST(SearchProgram, MalformedProgramsAndUnknownCharsets) {
  const std::pair<std::string, Outcome> cases[] = {
      {"", Outcome::kMalformed},
      {"ALL ", Outcome::kMalformed},
      {" ALL", Outcome::kMalformed},
      {"ALL  SEEN", Outcome::kMalformed},
      {"FOO", Outcome::kMalformed},
      {"(ALL", Outcome::kMalformed},
      {"ALL)", Outcome::kMalformed},
      {"()", Outcome::kMalformed},
      {"NOT", Outcome::kMalformed},
      {"OR ALL", Outcome::kMalformed},
      {"FROM", Outcome::kMalformed},
      {"HEADER Subject", Outcome::kMalformed},
      {"HEADER \"\" x", Outcome::kMalformed},
      {"HEADER \"Sub:ject\" x", Outcome::kMalformed},
      {"LARGER -1", Outcome::kMalformed},
      {"LARGER 9223372036854775808", Outcome::kMalformed},
      {"BEFORE 32-Jan-2024", Outcome::kMalformed},
      {"BEFORE 1-Foo-2024", Outcome::kMalformed},
      {"SINCE 2024-01-01", Outcome::kMalformed},
      {"UID", Outcome::kMalformed},
      {"UID 0", Outcome::kMalformed},
      {"1:0", Outcome::kMalformed},
      {"1abc", Outcome::kMalformed},
      {"$", Outcome::kMalformed},  // a saved result: SEARCHRES is not offered
      {"KEYWORD \\Seen", Outcome::kMalformed},
      {"MODSEQ x", Outcome::kMalformed},
      {"MODSEQ \"/flags/\\\\seen\" 5", Outcome::kMalformed},
      {"MODSEQ \"/shared/x\" all 5", Outcome::kMalformed},
      {"RETURN (SAVE) ALL", Outcome::kMalformed},
      {"RETURN (MIN)", Outcome::kMalformed},
      {"RETURN MIN ALL", Outcome::kMalformed},
      {"RETURN (MIN ALL", Outcome::kMalformed},
      {"CHARSET UTF-8", Outcome::kMalformed},
      {"CHARSET UTF-8 ", Outcome::kMalformed},
      {"BODY {5}\r\nab", Outcome::kMalformed},  // a literal longer than the text
      {"CHARSET KOI8-R BODY x", Outcome::kBadCharset},
      {"CHARSET \"windows-1251\" ALL", Outcome::kBadCharset},
      {"RETURN (COUNT) CHARSET ISO-8859-1 (", Outcome::kBadCharset},
  };
  for (const auto& [arguments, outcome] : cases) EXPECT_EQ(Parse(arguments).outcome, outcome) << arguments;
}

TEST(SearchProgram, DepthKeysAndStringsAreBounded) {
  const auto nested = [](std::size_t depth) { return std::string(depth, '(') + "ALL" + std::string(depth, ')'); };
  const auto nots = [](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "NOT ";
    return text + "ALL";
  };
  const auto keys = [](std::size_t count) {
    std::string text = "ALL";
    for (std::size_t i = 1; i < count; ++i) text += " SEEN";
    return text;
  };
  const auto body = [](std::size_t size) { return "BODY {" + std::to_string(size) + "}\r\n" + std::string(size, 'x'); };
  const std::pair<std::string, Outcome> cases[] = {
      {nested(kMaxSearchDepth - 1), Outcome::kOk},
      {nested(kMaxSearchDepth), Outcome::kMalformed},
      {nots(kMaxSearchDepth - 1), Outcome::kOk},
      {nots(kMaxSearchDepth), Outcome::kMalformed},
      {nested(100000), Outcome::kMalformed},  // refused long before the stack runs out
      {nots(100000), Outcome::kMalformed},
      {keys(kMaxSearchKeys), Outcome::kOk},
      {keys(kMaxSearchKeys + 1), Outcome::kMalformed},
      {body(kMaxSearchString), Outcome::kOk},
      {body(kMaxSearchString + 1), Outcome::kMalformed},
  };
  for (const auto& [arguments, outcome] : cases) {
    EXPECT_EQ(Parse(arguments).outcome, outcome) << arguments.substr(0, 60) << " (" << arguments.size() << ")";
  }
}

TEST(SearchResponse, SearchAndEsearchForms) {
  const std::vector<SearchHit> hits = {{2, 10}, {3, 40}, {4, 5}, {9, 20}};
  const auto request = [](bool uid, std::optional<SearchReturn> options, bool modseq) {
    SearchRequest r;
    r.uid = uid;
    r.returnOptions = options;
    r.usesModseq = modseq;
    return r;
  };
  const SearchReturn minMax{true, true, false, false}, all{false, false, true, false},
      everything{true, true, true, true}, count{false, false, false, true}, maxOnly{false, true, false, false};
  EXPECT_EQ(FormatSearchResponse(hits, false), "* SEARCH 2 3 4 9\r\n");
  EXPECT_EQ(FormatSearchResponse(hits, true), "* SEARCH 2 3 4 9 (MODSEQ 40)\r\n");
  EXPECT_EQ(FormatSearchResponse({}, true), "* SEARCH\r\n");
  const std::tuple<std::string, SearchRequest, std::vector<SearchHit>, std::string> cases[] = {
      {"a1", request(true, everything, false), hits, "* ESEARCH (TAG \"a1\") UID MIN 2 MAX 9 COUNT 4 ALL 2:4,9\r\n"},
      {"a2", request(false, std::nullopt, false), hits, "* ESEARCH (TAG \"a2\") ALL 2:4,9\r\n"},
      {"a3", request(false, all, false), {}, "* ESEARCH (TAG \"a3\")\r\n"},
      {"a4", request(true, count, false), {}, "* ESEARCH (TAG \"a4\") UID COUNT 0\r\n"},
      {"a5", request(false, everything, true), {}, "* ESEARCH (TAG \"a5\") COUNT 0\r\n"},
      // MODSEQ: the highest of the messages the answer names.
      {"a6", request(false, minMax, true), hits, "* ESEARCH (TAG \"a6\") MIN 2 MAX 9 MODSEQ 20\r\n"},
      {"a7", request(false, maxOnly, true), hits, "* ESEARCH (TAG \"a7\") MAX 9 MODSEQ 20\r\n"},
      {"a8", request(false, count, true), hits, "* ESEARCH (TAG \"a8\") COUNT 4 MODSEQ 40\r\n"},
      {"a9", request(true, std::nullopt, true), {{7, 3}}, "* ESEARCH (TAG \"a9\") UID ALL 7 MODSEQ 3\r\n"},
  };
  for (const auto& [tag, r, h, expected] : cases) EXPECT_EQ(FormatEsearchResponse(tag, r, h), expected) << tag;
}

}  // namespace
}  // namespace quelma::imap_server
