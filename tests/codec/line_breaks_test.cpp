// The line break scanner against a plain reading of its rule, over random texts dense and
// sparse in line feeds, from every starting point (long enough for sixteen-byte steps).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/line_breaks.h"

namespace quelma::codec {
namespace {

std::size_t Reference(std::string_view text, std::size_t from, bool crBefore, LineBreakNeeds needs) {
  for (std::size_t at = from; at < text.size(); ++at) {
    if (text[at] != '\n') continue;
    const bool cr = at > from ? text[at - 1] == '\r' : crBefore;
    if (at + 1 == text.size() || text[at + 1] == needs.lineStart || (needs.bareLineFeed && !cr)) return at;
  }
  return std::string_view::npos;
}

TEST(LineBreaks, FindsWhatAPlainReadingFinds) {
  std::mt19937 random(7);
  const std::string alphabets[] = {"\r\n.Fa", "aaaaaaaaaaaaaaaa\r\n", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n.F\r"};
  for (int round = 0; round < 2000; ++round) {
    const std::string& alphabet = alphabets[round % 3];
    std::string text(random() % 120, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    for (const LineBreakNeeds needs : {LineBreakNeeds{'.', true}, LineBreakNeeds{'.', false}, LineBreakNeeds{'F', false}}) {
      for (std::size_t from = 0; from <= text.size(); ++from) {
        for (const bool crBefore : {false, true}) {
          ASSERT_EQ(NextWantedLineBreak(text, from, crBefore, needs), Reference(text, from, crBefore, needs))
              << "round " << round << ", from " << from;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quelma::codec
