// The transfer form: every case fed whole, cut in two at every position, in three at every
// pair of positions, and a byte at a time, must give the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "net/transfer_form.h"

namespace quelma::net {
namespace {

// Every way of cutting `text` in at most three pieces, and byte by byte.
std::vector<std::vector<std::string>> Cuts(const std::string& text) {
  std::vector<std::vector<std::string>> cuts{{text}};
  for (std::size_t a = 0; a <= text.size(); ++a) {
    for (std::size_t b = a; b <= text.size(); ++b) {
      cuts.push_back({text.substr(0, a), text.substr(a, b - a), text.substr(b)});
    }
  }
  std::vector<std::string> bytes;
  for (const char c : text) bytes.emplace_back(1, c);
  cuts.push_back(bytes);
  return cuts;
}

std::string Stuff(const std::vector<std::string>& pieces, DotStuffer::Rules rules) {
  DotStuffer stuffer(rules);
  std::string out;
  for (const auto& piece : pieces) stuffer.add(piece, out);
  stuffer.finish(out);
  return out;
}

TEST(TransferForm, StuffingAtEveryCut) {
  const DotStuffer::Rules asStored{};
  const DotStuffer::Rules smtp{true, 0};
  const DotStuffer::Rules limited{true, 8};
  const struct Case {
    const char* name;
    DotStuffer::Rules rules;
    std::string text, wire;
  } cases[] = {
      {"empty", asStored, "", ".\r\n"},
      {"a dot at every line start", asStored, ".a\r\n..b\r\n.\r\nc.d\r\n", "..a\r\n...b\r\n..\r\nc.d\r\n.\r\n"},
      {"no last line end", asStored, "a\r\n.b", "a\r\n..b\r\n.\r\n"},
      {"a bare line feed starts a line", asStored, "a\n.b\n", "a\n..b\n.\r\n"},
      {"stored as it is: bare CR and LF stay", asStored, "a\rb\nc\r", "a\rb\nc\r\r\n.\r\n"},
      {"SMTP: bare LF gets CR", smtp, "a\n.\nb\r\n", "a\r\n..\r\nb\r\n.\r\n"},
      {"SMTP: a last lone CR gets LF", smtp, "a\r\nb\r", "a\r\nb\r\n.\r\n"},
      {"SMTP: a CR inside a line stays", smtp, "a\rb\r\n", "a\rb\r\n.\r\n"},
      {"limit: a line of the limit stays", limited, "12345678\r\n", "12345678\r\n.\r\n"},
      {"limit: a bare LF after the limit", limited, "12345678\n", "12345678\r\n.\r\n"},
      {"limit: one more byte is broken off", limited, "123456789\r\n", "12345678\r\n 9\r\n.\r\n"},
      {"limit: continuations hold a space and 7 bytes", limited, "1234567890abcdefghij\r\n",
       "12345678\r\n 90abcde\r\n fghij\r\n.\r\n"},
      {"limit: the transparency dot counts", limited, ".2345678\r\n", "..234567\r\n 8\r\n.\r\n"},
      {"limit: a CR past the limit not before LF", limited, "12345678\rx\r\n", "12345678\r\n \rx\r\n.\r\n"},
      {"limit: a last line at the limit without end", limited, "12345678", "12345678\r\n.\r\n"},
      {"limit: a last line at the limit with a lone CR", limited, "12345678\r", "12345678\r\n.\r\n"},
      {"limit: a continuation never begins with a dot", limited, "12345678.b\r\n", "12345678\r\n .b\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& pieces : Cuts(c.text)) {
      ASSERT_EQ(Stuff(pieces, c.rules), c.wire) << pieces.size() << " pieces";
    }
  }
}

// Without a line limit lines go over in runs; with a limit no line reaches they go line by
// line: random texts cut at random places give the same bytes both ways.
TEST(TransferForm, RunsGiveWhatLinesGive) {
  std::mt19937 random(33);
  const char alphabet[] = {'.', '\r', '\n', 'a'};
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % (round % 2 ? 40 : 200), ' ');
    for (char& c : text) c = alphabet[random() % 4];
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < text.size(); at += pieces.back().size()) pieces.push_back(text.substr(at, 1 + random() % 8));
    for (const bool crLf : {false, true}) {
      ASSERT_EQ(Stuff(pieces, {crLf, 0}), Stuff(pieces, {crLf, std::size_t{1} << 40})) << "round " << round;
    }
  }
}

struct Read {
  std::string text;
  std::size_t taken = 0;
  bool ended = false;
};

Read Unstuff(const std::vector<std::string>& pieces, DotUnstuffer::Rules rules) {
  DotUnstuffer reader(rules);
  Read read;
  for (const auto& piece : pieces) {
    read.taken += reader.add(piece, [&](std::string_view text) { read.text += text; });
  }
  if (!reader.ended()) reader.finish([&](std::string_view text) { read.text += text; });
  read.ended = reader.ended();
  return read;
}

TEST(TransferForm, UnstuffingAndTheEndLineAtEveryCut) {
  const DotUnstuffer::Rules strict{};
  const DotUnstuffer::Rules bareEnds{true};
  const struct Case {
    const char* name;
    DotUnstuffer::Rules rules;
    std::string wire, text;
    bool ended;
    std::size_t taken;  // bytes of the wire up to the end line
  } cases[] = {
      {"only the end line", strict, ".\r\nnext", "", true, 3},
      {"transparency dots", strict, "..a\r\n...\r\n.b\r\n.\r\nnext", ".a\r\n..\r\n.b\r\n", true, 17},
      {"a bare LF gets CR and starts a line", strict, "a\n..b\n.\r\n", "a\r\n.b\r\n", true, 9},
      {"a CR LF cut between pieces stays one", strict, "a\r\nb\r\n.\r\n", "a\r\nb\r\n", true, 9},
      {"bare CRs stay", strict, "a\rb\r\n.\r\n", "a\rb\r\n", true, 8},
      {"\".\\n\" is a line of text", strict, "a\r\n.\nb\r\n.\r\n", "a\r\n.\r\nb\r\n", true, 11},
      {"\".\\n\" ends when the rules say so", bareEnds, "a\r\n.\nb\r\n", "a\r\n", true, 5},
      {"\".\\r\" not followed by LF is text", strict, ".\rx\r\n.\r\n", ".\rx\r\n", true, 8},
      {"a dot inside a line", strict, "a.\r\n.\r\n", "a.\r\n", true, 7},
      {"cut short after a dot", strict, "a\r\n.", "a\r\n.", false, 4},
      {"cut short after a dot and CR", strict, "a\r\n.\r", "a\r\n.\r", false, 5},
      {"cut short inside a line", strict, "a\r\nbc", "a\r\nbc", false, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& pieces : Cuts(c.wire)) {
      const Read read = Unstuff(pieces, c.rules);
      ASSERT_EQ(read.text, c.text) << pieces.size() << " pieces";
      ASSERT_EQ(read.ended, c.ended);
      ASSERT_EQ(read.taken, c.taken);
    }
  }
}

// Unstuffing goes over runs of lines: random transfer forms read whole give what they give
// read a byte at a time (line by line).
TEST(TransferForm, UnstuffingRunsGiveWhatBytesGive) {
  std::mt19937 random(35);
  const std::string alphabet = "..\r\n\r\naaaaaaaaaaaa";
  for (int round = 0; round < 3000; ++round) {
    std::string wire(random() % 200, ' ');
    for (char& c : wire) c = alphabet[random() % alphabet.size()];
    std::vector<std::string> bytes;
    for (const char c : wire) bytes.emplace_back(1, c);
    for (const bool bareEnds : {false, true}) {
      const Read whole = Unstuff({wire}, {bareEnds});
      const Read byByte = Unstuff(bytes, {bareEnds});
      ASSERT_EQ(whole.text, byByte.text) << "round " << round;
      ASSERT_EQ(whole.taken, byByte.taken) << "round " << round;
    }
  }
}

// Whatever the text, stuffing and then unstuffing gives it back, line ends made CR LF.
TEST(TransferForm, ARoundTripOfEveryByteValue) {
  std::string text;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) {
      text.push_back(static_cast<char>(b));
      if (b % 7 == 0) text += "\r\n.";
      if (b % 11 == 0) text += "\n..";
    }
  }
  text += "\r\n";
  std::string expected;  // bare LFs get their CR
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) expected.push_back('\r');
    expected.push_back(text[i]);
  }
  const std::string wire = Stuff({text}, {true, 0});
  const Read read = Unstuff({wire + "after"}, {});
  EXPECT_EQ(read.text, expected);
  EXPECT_TRUE(read.ended);
  EXPECT_EQ(read.taken, wire.size());
}

}  // namespace
}  // namespace quelma::net
