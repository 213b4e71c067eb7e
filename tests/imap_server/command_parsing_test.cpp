// Reading IMAP commands: the bounded reader with its literals, the grammar's pieces, sequence
// sets and FETCH items.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap_server/command_reader.h"
#include "imap_server/command_syntax.h"
#include "imap_server/fetch_items.h"
#include "imap_server/sequence_set.h"

namespace quelma::imap_server {
namespace {

using Kind = CommandReader::Command::Kind;

// A client that sends `input`, `chunk` bytes at a time; the reader's continuations counted.
struct Peer {
  std::string input;
  std::size_t chunk = 1;
  std::size_t at = 0;
  int continuations = 0;
  CommandReader reader() {
    return CommandReader(
        [this](char* b, std::size_t n) -> long {
          const std::size_t take = std::min({n, chunk, input.size() - at});
          std::copy_n(input.data() + at, take, b);
          at += take;
          return static_cast<long>(take);
        },
        [](std::string_view soFar) -> std::uint64_t {
          return soFar.find(" APPEND ") != std::string_view::npos ? 100 : 20;
        },
        [this] {
          ++continuations;
          return true;
        });
  }
};

TEST(CommandReader, CommandsWithLiteralsInEveryCut) {
  struct Case {
    std::string input;
    std::vector<std::pair<Kind, std::string>> commands;
    int continuations;
  };
  const std::string big(30, 'x');
  const std::vector<Case> cases = {
      {"a1 NOOP\r\na2 LOGIN {4}\r\nivan {3+}\r\npwd\r\n",
       {{Kind::kWhole, "a1 NOOP"}, {Kind::kWhole, "a2 LOGIN {4}\r\nivan {3+}\r\npwd"}}, 1},
      {"a LOGIN x\n", {{Kind::kWhole, "a LOGIN x"}}, 0},  // a bare line feed ends a line too
      // Over the session's limit: refused before the bytes come; the client sends the next command.
      {"a3 LOGIN {30}\r\nb NOOP\r\n", {{Kind::kRefused, "a3 LOGIN {30}"}, {Kind::kWhole, "b NOOP"}}, 0},
      // Non-synchronizing over the limit: its bytes are read and dropped with the command.
      {"a4 LOGIN {30+}\r\n" + big + " {2}\r\nb NOOP\r\n",
       {{Kind::kRefused, "a4 LOGIN {30+}"}, {Kind::kWhole, "b NOOP"}}, 0},
      {"a5 APPEND INBOX {30}\r\n" + big + "\r\n", {{Kind::kWhole, "a5 APPEND INBOX {30}\r\n" + big}}, 1},
      {std::string("a6 APPEND INBOX ~{3}\r\n\0\1\2\r\n", 27),
       {{Kind::kWhole, std::string("a6 APPEND INBOX ~{3}\r\n\0\1\2", 25)}}, 1},
      {"a7 NOOP {2}x\r\n", {{Kind::kWhole, "a7 NOOP {2}x"}}, 0},  // not a literal: not at the end
      {"a8 NOOP", {}, 0},                                         // closed before the line ended
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
      Peer peer{c.input, chunk};
      CommandReader reader = peer.reader();
      for (const auto& [kind, text] : c.commands) {
        const auto got = reader.next();
        EXPECT_EQ(got.kind, kind) << c.input;
        EXPECT_EQ(got.text, text) << c.input;
      }
      EXPECT_EQ(reader.next().kind, Kind::kClosed) << c.input;
      EXPECT_EQ(peer.continuations, c.continuations) << c.input;
    }
  }
}

TEST(CommandReader, OverlongLineIsDroppedAndTheSessionGoesOn) {
  Peer peer{"a " + std::string(kMaxCommandLine + 10, 'x') + "\r\nb NOOP\r\n", 4096};
  CommandReader reader = peer.reader();
  EXPECT_EQ(reader.next().kind, Kind::kTooLong);
  EXPECT_EQ(reader.next().text, "b NOOP");
}

TEST(ArgumentReader, GrammarPieces) {
  ArgumentReader in("tag SELECT \"In\\\\box \\\"x\\\"\" {3}\r\nabc NIL 4294967295 4294967296 9223372036854775807");
  EXPECT_EQ(in.tag(), "tag");
  EXPECT_TRUE(in.space());
  EXPECT_TRUE(in.keyword("select"));
  EXPECT_TRUE(in.space());
  EXPECT_EQ(in.astring(), "In\\box \"x\"");
  EXPECT_TRUE(in.space());
  EXPECT_EQ(in.astring(), "abc");
  EXPECT_TRUE(in.space());
  EXPECT_EQ(in.nstring(), std::optional<std::optional<std::string>>(std::optional<std::string>()));
  EXPECT_TRUE(in.space());
  EXPECT_EQ(in.number(), 4294967295u);
  EXPECT_TRUE(in.space());
  EXPECT_EQ(in.number(), std::nullopt);  // too large for a number
  EXPECT_EQ(in.number64(), 4294967296u);
  EXPECT_TRUE(in.space());
  EXPECT_EQ(in.number64(), 9223372036854775807u);
  EXPECT_TRUE(in.atEnd());

  for (const char* bad : {"\"open", "\"bad \\q escape\"", "{5}\r\nabc", "{x}\r\nabc", "\"a\rb\""}) {
    ArgumentReader r(bad);
    EXPECT_EQ(r.string(), std::nullopt) << bad;
  }
}

TEST(ArgumentReader, Dates) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> seconds;
  };
  const Case dateTimes[] = {
      {"\"08-Dec-2026 21:30:00 +0000\"", 1796765400},
      {"\" 8-Dec-2026 23:30:00 +0200\"", 1796765400},
      {"\"29-Feb-2024 00:00:00 -0130\"", 1709170200},
      {"\"29-Feb-2023 00:00:00 +0000\"", std::nullopt},
      {"\"08-Dez-2026 21:30:00 +0000\"", std::nullopt},
      {"\"08-Dec-2026 24:30:00 +0000\"", std::nullopt},
      {"\"08-Dec-2026 21:30:00 0000\"", std::nullopt},
  };
  for (const Case& c : dateTimes) {
    ArgumentReader in(c.text);
    EXPECT_EQ(ReadDateTime(in), c.seconds) << c.text;
  }
  EXPECT_EQ(FormatInternalDate(1796765400), "08-Dec-2026 21:30:00 +0000");
  EXPECT_EQ(FormatInternalDate(0), "01-Jan-1970 00:00:00 +0000");
  ArgumentReader day("1-feb-1994");
  EXPECT_EQ(ReadDate(day), 760060800);
}

TEST(SequenceSet, ReadAndResolve) {
  struct Case {
    const char* text;
    std::uint32_t star;
    std::vector<SequenceSet::Range> resolved;
  };
  const Case cases[] = {
      {"1:3,7", 10, {{1, 3}, {7, 7}}},
      {"5:2,3:9,11,10", 20, {{2, 11}}},
      {"*", 10, {{10, 10}}},
      {"8:*", 5, {{5, 8}}},  // "*" below the first number: the range is turned
      {"*", 0, {}},          // an empty mailbox
      {"3:*", 0, {{1, 3}}},
      {"4294967295", 3, {{4294967295u, 4294967295u}}},
  };
  for (const Case& c : cases) {
    ArgumentReader in(c.text);
    const auto set = ReadSequenceSet(in);
    ASSERT_TRUE(set) << c.text;
    EXPECT_TRUE(in.atEnd());
    EXPECT_EQ(set->resolve(c.star), c.resolved) << c.text;
  }
  for (const char* bad : {"0", "1:0", ",1", "1,", "a", "1::2"}) {
    ArgumentReader in(bad);
    const auto set = ReadSequenceSet(in);
    EXPECT_TRUE(!set || !in.atEnd()) << bad;
  }
  std::string many = "1";
  for (std::size_t i = 0; i < kMaxSequenceRanges; ++i) many += ",1";
  ArgumentReader in(many);
  EXPECT_EQ(ReadSequenceSet(in), std::nullopt);
  EXPECT_EQ(FormatSequenceSet({1, 2, 3, 7, 9, 10}), "1:3,7,9:10");
  const std::vector<SequenceSet::Range> ranges = {{2, 4}, {9, 9}};
  EXPECT_TRUE(Contains(ranges, 3));
  EXPECT_FALSE(Contains(ranges, 5));
  EXPECT_TRUE(Contains(ranges, 9));
  EXPECT_FALSE(Contains(ranges, 1));
}

TEST(FetchItems, ItemsSectionsAndLabels) {
  struct Case {
    const char* text;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {"FAST", {"FLAGS", "INTERNALDATE", "RFC822.SIZE"}},
      {"(uid body.peek[header.fields (From \"To\")]<0.100> BINARY[1.2] binary.size[3])",
       {"UID", "BODY[HEADER.FIELDS (From To)]", "BINARY[1.2]", "BINARY.SIZE[3]"}},
      {"BODY[1.2.MIME]", {"BODY[1.2.MIME]"}},
      {"(RFC822.HEADER BODY[] MODSEQ) (CHANGEDSINCE 12 VANISHED)", {"RFC822.HEADER", "BODY[]", "MODSEQ"}},
  };
  for (const Case& c : cases) {
    ArgumentReader in(c.text);
    const auto request = ReadFetchRequest(in);
    ASSERT_TRUE(request) << c.text;
    std::vector<std::string> labels;
    for (const FetchItem& item : request->items) labels.push_back(item.label);
    EXPECT_EQ(labels, c.labels) << c.text;
  }
  ArgumentReader in("(BODY.PEEK[2.1.HEADER.FIELDS.NOT (X)]<5.10>) (CHANGEDSINCE 7)");
  const auto request = ReadFetchRequest(in);
  ASSERT_TRUE(request);
  const FetchItem& item = request->items[0];
  EXPECT_EQ(item.section.part, (std::vector<std::uint32_t>{2, 1}));
  EXPECT_EQ(item.section.text, SectionSpec::Text::kHeaderFieldsNot);
  EXPECT_EQ(item.section.fields, std::vector<std::string>{"X"});
  EXPECT_TRUE(item.peek);
  EXPECT_EQ(item.partial, std::make_pair(5u, 10u));
  EXPECT_EQ(request->changedSince, 7u);
  EXPECT_FALSE(request->setsSeen());

  for (const char* bad : {"BODY[MIME]", "BINARY[TEXT]", "BODY[1.]", "BODY[0]", "(FLAGS", "BODY[]<1>",
                          "FLAGS (VANISHED)", "BODY[HEADER.FIELDS ()]", "BODY[HEADER.FIELDS (A:B)]", "NONSENSE",
                          "BINARY.SIZE[1]<0.1>"}) {
    ArgumentReader bin(bad);
    EXPECT_EQ(ReadFetchRequest(bin), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace quelma::imap_server
